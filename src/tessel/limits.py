"""Limits on what one download may cost, for URLs that come from strangers.

Image downloads (``ImageTool.get_img_url_io`` and every method given a URL)
and ``HttpRequestClient`` requests read these settings each time they are
called, so assigning them at run time changes the next call::

    import tessel.limits
    tessel.limits.MAX_DOWNLOAD_BYTES = 32 * 2**20
    tessel.limits.DOWNLOAD_DEADLINE = 10.0
    tessel.limits.ALLOW_PRIVATE_ADDRESSES = False

``MAX_DOWNLOAD_BYTES``
    The most decoded body bytes one response may deliver (``None``: no cap).
``DOWNLOAD_DEADLINE``
    The most seconds one attempt may take from connecting to the last body
    byte, redirects included (``None``: only the per-read ``timeout``).
``ALLOW_PRIVATE_ADDRESSES``
    When ``False``, a connection whose peer is loopback, private, link-local,
    unspecified, multicast or reserved (IPv4-mapped IPv6 forms included) is
    closed before a single byte of the request is sent. The check is made on
    the address actually connected to, after name resolution, on every
    redirect hop. Through a proxy the peer is the proxy: a proxy on a private
    address is refused, and which destinations the proxy itself reaches is
    the proxy's business. SOCKS proxies cannot be checked and are refused.

Starting values come from the environment variables
``TESSEL_MAX_DOWNLOAD_BYTES`` (a whole number of bytes),
``TESSEL_DOWNLOAD_DEADLINE`` (seconds) and ``TESSEL_ALLOW_PRIVATE_ADDRESSES``
(``0`` or ``1``); a malformed value fails the import of this module.

With the three defaults nothing here takes part in a request. Once a limit is
set, requests travel through a transport adapter of this module: image
downloads through a session of their own per attempt, ``HttpRequestClient``
through its session, on which the plain ``requests`` adapters are replaced by
this module's (adapters of other types are left alone, and the limits do not
reach requests sent through them).
"""

from __future__ import annotations

import contextvars
import io
import ipaddress
import math
import os
import socket
import time
from collections.abc import Callable, Iterator
from typing import Any, NoReturn, Optional

import http.client

import requests
from requests.adapters import HTTPAdapter
from urllib3.connection import HTTPConnection, HTTPSConnection
from urllib3.connectionpool import HTTPConnectionPool, HTTPSConnectionPool

__all__ = [
    "MAX_DOWNLOAD_BYTES",
    "DOWNLOAD_DEADLINE",
    "ALLOW_PRIVATE_ADDRESSES",
    "DownloadLimitError",
    "DownloadTooLarge",
    "DownloadDeadlineExceeded",
    "AddressRefused",
]


# --- the settings ------------------------------------------------------------


def _bytes_from_env(name: str) -> Optional[int]:
    text = os.environ.get(name, "").strip()
    if not text:
        return None
    if not text.isdigit():
        raise ValueError(f"{name} must be a whole number of bytes, got {text!r}")
    return int(text)


def _seconds_from_env(name: str) -> Optional[float]:
    text = os.environ.get(name, "").strip()
    if not text:
        return None
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"{name} must be a positive number of seconds, got {text!r}")
    return seconds


def _switch_from_env(name: str, default: bool) -> bool:
    text = os.environ.get(name, "").strip()
    if not text:
        return default
    if text not in ("0", "1"):
        raise ValueError(f"{name} must be 0 or 1, got {text!r}")
    return text == "1"


MAX_DOWNLOAD_BYTES: Optional[int] = _bytes_from_env("TESSEL_MAX_DOWNLOAD_BYTES")
DOWNLOAD_DEADLINE: Optional[float] = _seconds_from_env("TESSEL_DOWNLOAD_DEADLINE")
ALLOW_PRIVATE_ADDRESSES: bool = _switch_from_env("TESSEL_ALLOW_PRIVATE_ADDRESSES", True)


# --- the errors --------------------------------------------------------------
#
# None of them is a requests ConnectionError: HttpRequestClient retries only
# those, and a server that broke a limit once will break it again.


class DownloadLimitError(requests.exceptions.RequestException):
    """A download stopped because it broke one of the limits of this module."""


class DownloadTooLarge(DownloadLimitError):
    """The decoded body grew past what a response may deliver."""


class DownloadDeadlineExceeded(DownloadLimitError):
    """An attempt was still running when DOWNLOAD_DEADLINE ran out."""


class AddressRefused(DownloadLimitError):
    """The connection's peer is an address ALLOW_PRIVATE_ADDRESSES=False refuses."""


# --- one attempt under the limits ----------------------------------------------


class _Limits:
    """The three settings as read at the start of one call."""

    __slots__ = ("max_bytes", "deadline", "allow_private")

    def __init__(self, max_bytes: Optional[int], deadline: Optional[float], allow_private: bool) -> None:
        self.max_bytes = max_bytes
        self.deadline = deadline
        self.allow_private = allow_private

    @classmethod
    def read(cls) -> _Limits:
        max_bytes = MAX_DOWNLOAD_BYTES
        if max_bytes is not None:
            if type(max_bytes) is not int:
                raise TypeError(f"tessel.limits.MAX_DOWNLOAD_BYTES must be None or an int, not {max_bytes!r}")
            if max_bytes < 0:
                raise ValueError(f"tessel.limits.MAX_DOWNLOAD_BYTES must not be negative, got {max_bytes}")
        deadline = DOWNLOAD_DEADLINE
        if deadline is not None:
            if isinstance(deadline, bool) or not isinstance(deadline, (int, float)):
                raise TypeError(f"tessel.limits.DOWNLOAD_DEADLINE must be None or seconds, not {deadline!r}")
            if not (math.isfinite(deadline) and deadline > 0):
                raise ValueError(f"tessel.limits.DOWNLOAD_DEADLINE must be a positive number of seconds, got {deadline}")
            deadline = float(deadline)
        return cls(max_bytes, deadline, bool(ALLOW_PRIVATE_ADDRESSES))

    @property
    def inert(self) -> bool:
        return self.max_bytes is None and self.deadline is None and self.allow_private


class _Attempt:
    """The limits applied to one attempt: its own clock, and the first limit
    error raised inside the HTTP stack, which that stack wraps in errors of
    its own (connection errors, protocol errors) on its way out. The outer
    layers raise the recorded error instead of the wrapper."""

    __slots__ = ("limits", "url", "ends", "failure")

    def __init__(self, limits: _Limits, url: str) -> None:
        self.limits = limits
        self.url = url
        self.ends = None if limits.deadline is None else time.monotonic() + limits.deadline
        self.failure: Optional[DownloadLimitError] = None

    def fail(self, error: DownloadLimitError) -> DownloadLimitError:
        if self.failure is None:
            self.failure = error
        return self.failure

    def remaining(self) -> Optional[float]:
        return None if self.ends is None else self.ends - time.monotonic()

    def check_time(self) -> None:
        left = self.remaining()
        if left is not None and left <= 0:
            raise self.expired()

    def expired(self) -> DownloadLimitError:
        return self.fail(
            DownloadDeadlineExceeded(f"DOWNLOAD_DEADLINE of {self.limits.deadline} s ran out while fetching {self.url}")
        )

    def check_size(self, total: int) -> None:
        cap = self.limits.max_bytes
        if cap is not None and total > cap:
            raise self.fail(DownloadTooLarge(f"the body of {self.url} is larger than MAX_DOWNLOAD_BYTES ({cap})"))

    def check_peer(self, sock: socket.socket) -> None:
        if self.limits.allow_private:
            return
        try:
            peer = sock.getpeername()
        except OSError as exc:
            raise self.fail(AddressRefused(f"the peer of {self.url} is unknown ({exc}); ALLOW_PRIVATE_ADDRESSES is False"))
        host = peer[0] if isinstance(peer, tuple) else str(peer)
        if not _is_public(host):
            raise self.fail(AddressRefused(f"{host} is not a public address (ALLOW_PRIVATE_ADDRESSES is False): {self.url}"))

    def reraise(self, error: BaseException) -> NoReturn:
        """Raises the recorded limit error in place of `error` that wraps it,
        or `error` itself."""
        if self.failure is not None and error is not self.failure:
            raise self.failure from error
        raise error


# NAT64 (64:ff9b::/96) and 6to4 (2002::/16) addresses lead to the IPv4
# address inside them.
_NAT64 = ipaddress.IPv6Network("64:ff9b::/96")


def _is_public(host: str) -> bool:
    try:
        address: ipaddress.IPv4Address | ipaddress.IPv6Address = ipaddress.ip_address(host)
    except ValueError:
        return False
    if isinstance(address, ipaddress.IPv6Address):
        if address.scope_id is not None:
            return False
        embedded = address.ipv4_mapped or address.sixtofour
        if embedded is None and address in _NAT64:
            embedded = ipaddress.IPv4Address(int(address) & 0xFFFFFFFF)
        if embedded is not None:
            address = embedded
        elif address.is_site_local:
            return False
    return not (
        address.is_loopback
        or address.is_private
        or address.is_link_local
        or address.is_unspecified
        or address.is_multicast
        or address.is_reserved
        or not address.is_global
    )


# The attempt of the request being sent on this thread (or task). The
# objects the HTTP stack creates for a request pick it up when they are made.
_current: contextvars.ContextVar[Optional[_Attempt]] = contextvars.ContextVar("tessel_limits_attempt", default=None)


# --- the transport: connections, their responses, the adapter -----------------


class _DeadlineReader(io.RawIOBase):
    """Socket reads that time out no later than the attempt's deadline. A
    dripping server resets a per-read timeout with every byte; this one
    shrinks as the attempt goes on."""

    def __init__(self, raw: Any, sock: socket.socket, attempt: _Attempt) -> None:
        self._raw = raw
        self._sock = sock
        self._attempt = attempt
        self._timeout = sock.gettimeout()

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> Optional[int]:
        left = self._attempt.remaining()
        if left is not None:
            if left <= 0:
                raise self._attempt.expired()
            self._sock.settimeout(left if self._timeout is None else min(self._timeout, left))
        try:
            count: Optional[int] = self._raw.readinto(buffer)
            return count
        except TimeoutError:
            left = self._attempt.remaining()
            if left is not None and left <= 0:
                raise self._attempt.expired() from None
            raise

    def close(self) -> None:
        if not self.closed:
            self._raw.close()
        super().close()


class _TimedResponse(http.client.HTTPResponse):
    """The status line, headers and body read through a _DeadlineReader."""

    def __init__(self, sock: socket.socket, *args: Any, **kwargs: Any) -> None:
        super().__init__(sock, *args, **kwargs)
        attempt = _current.get()
        if attempt is not None and attempt.ends is not None:
            # Nothing has been read yet, so the buffer being dropped is empty.
            self.fp = io.BufferedReader(_DeadlineReader(self.fp.detach(), sock, attempt))


class _GuardedConnectionMixin:
    """Checks the peer of every socket right after it connects (before TLS
    and before the request) and again before each request on a kept-alive
    connection; bounds the connect timeout by what is left of the deadline."""

    response_class: type[http.client.HTTPResponse] = _TimedResponse
    timeout: Any
    sock: Any

    def _new_conn(self) -> socket.socket:
        attempt = _current.get()
        if attempt is not None:
            left = attempt.remaining()
            if left is not None:
                if left <= 0:
                    raise attempt.expired()
                self.timeout = min(self.timeout, left) if isinstance(self.timeout, (int, float)) else left
        sock: socket.socket = super()._new_conn()  # type: ignore[misc]
        if attempt is not None:
            try:
                attempt.check_peer(sock)
            except BaseException:
                sock.close()
                raise
        return sock

    def request(self, *args: Any, **kwargs: Any) -> Any:
        attempt = _current.get()
        if attempt is not None and self.sock is not None:
            attempt.check_peer(self.sock)
        return super().request(*args, **kwargs)  # type: ignore[misc]


class _GuardedHTTPConnection(_GuardedConnectionMixin, HTTPConnection):
    pass


class _GuardedHTTPSConnection(_GuardedConnectionMixin, HTTPSConnection):
    pass


class _GuardedHTTPPool(HTTPConnectionPool):
    ConnectionCls = _GuardedHTTPConnection


class _GuardedHTTPSPool(HTTPSConnectionPool):
    ConnectionCls = _GuardedHTTPSConnection


_POOL_CLASSES = {"http": _GuardedHTTPPool, "https": _GuardedHTTPSPool}


class _LimitedBody:
    """Stands in for a response's urllib3 body: counts the bytes it hands out
    against the cap, checks the deadline between reads, and raises the
    attempt's limit error in place of the stack's wrapping of it. Everything
    else is the urllib3 response's own."""

    def __init__(self, raw: Any, attempt: _Attempt) -> None:
        self._raw = raw
        self._attempt = attempt
        self._delivered = 0

    def __getattr__(self, name: str) -> Any:
        return getattr(self._raw, name)

    def _deliver(self, data: bytes) -> bytes:
        self._delivered += len(data)
        try:
            self._attempt.check_size(self._delivered)
        except DownloadLimitError:
            self._raw.close()
            raise
        return data

    def stream(self, amt: int = 2**16, decode_content: Optional[bool] = None) -> Iterator[bytes]:
        chunks = self._raw.stream(amt, decode_content=decode_content)
        while True:
            self._attempt.check_time()
            try:
                chunk = next(chunks)
            except StopIteration:
                return
            except Exception as exc:
                self._attempt.reraise(exc)
            yield self._deliver(chunk)

    def read(self, amt: Optional[int] = None, decode_content: Optional[bool] = None, **kwargs: Any) -> bytes:
        if amt is None:
            # Read to the end in steps, so the cap holds for a body of any size.
            return b"".join(iter(lambda: self.read(2**16, decode_content, **kwargs), b""))
        self._attempt.check_time()
        try:
            data: bytes = self._raw.read(amt, decode_content=decode_content, **kwargs)
        except Exception as exc:
            self._attempt.reraise(exc)
        return self._deliver(data)


class _GuardedAdapter(HTTPAdapter):
    """requests' own adapter over the guarded connections."""

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        self.poolmanager.pool_classes_by_scheme = _POOL_CLASSES

    def proxy_manager_for(self, proxy: str, **proxy_kwargs: Any) -> Any:
        known = proxy in self.proxy_manager
        manager = super().proxy_manager_for(proxy, **proxy_kwargs)
        if not known and not proxy.lower().startswith("socks"):
            manager.pool_classes_by_scheme = _POOL_CLASSES
        return manager

    def send(self, request: requests.PreparedRequest, *args: Any, **kwargs: Any) -> requests.Response:
        attempt = _current.get()
        token = None
        if attempt is None:
            # Sent outside a tessel call (the session used directly): one
            # attempt per request, under the settings as they are now.
            attempt = _Attempt(_Limits.read(), str(request.url))
            token = _current.set(attempt)
        try:
            attempt.check_time()
            if not attempt.limits.allow_private and self._through_socks(request, kwargs.get("proxies")):
                raise attempt.fail(
                    AddressRefused(f"a SOCKS proxy's peers cannot be checked (ALLOW_PRIVATE_ADDRESSES is False): {request.url}")
                )
            return super().send(request, *args, **kwargs)
        except Exception as exc:
            attempt.reraise(exc)
        finally:
            if token is not None:
                _current.reset(token)

    @staticmethod
    def _through_socks(request: requests.PreparedRequest, proxies: Any) -> bool:
        proxy = requests.utils.select_proxy(str(request.url), proxies or {})
        return bool(proxy) and str(proxy).lower().startswith("socks")

    def build_response(self, req: requests.PreparedRequest, resp: Any) -> requests.Response:
        response = super().build_response(req, resp)
        attempt = _current.get()
        if attempt is not None and (attempt.limits.max_bytes is not None or attempt.ends is not None):
            response.raw = _LimitedBody(response.raw, attempt)
        return response


def _guard_session(session: Any) -> None:
    """Puts the guarded adapter in place of each plain requests adapter
    mounted on `session`, with the same pool and retry settings. The old
    adapter is not closed: another thread may be sending through it."""
    adapters = getattr(session, "adapters", None)
    if not isinstance(adapters, dict):
        return  # not a requests session: nothing of ours can be mounted
    for prefix, adapter in list(adapters.items()):
        if type(adapter) is HTTPAdapter:
            guarded = _GuardedAdapter(
                pool_connections=adapter._pool_connections,  # type: ignore[attr-defined]
                pool_maxsize=adapter._pool_maxsize,  # type: ignore[attr-defined]
                max_retries=adapter.max_retries,
                pool_block=adapter._pool_block,  # type: ignore[attr-defined]
            )
            session.mount(prefix, guarded)


# --- the entry points of the compiled modules ---------------------------------


def _wire_meter(response: Any) -> Optional[Callable[[], int]]:
    """For a response whose body is decoded on the way in (it names a
    Content-Encoding): a function giving the body bytes received so far, to
    weigh the decoded bytes against. None when nothing is decoded, since the
    bytes delivered are then the bytes received.

    urllib3's tell() counts what it reads in one piece, but not the pieces of
    a chunked body, which it takes from http.client's _safe_read: those are
    counted here as they are read."""
    try:
        encoding = response.headers.get("Content-Encoding")
    except Exception:
        return None
    if not encoding:
        return None
    raw = response.raw
    pieces = [0]
    source = getattr(raw, "_fp", None)
    safe_read = getattr(source, "_safe_read", None)
    if getattr(raw, "chunked", False) and callable(safe_read):

        def counting_read(amt: int) -> bytes:
            data: bytes = safe_read(amt)
            pieces[0] += len(data)
            return data

        setattr(source, "_safe_read", counting_read)

    def received() -> int:
        told: int = raw.tell()
        return told + pieces[0]

    return received




def _for_call() -> Optional[_Limits]:
    """The limits for a call starting now; None while every setting is at its
    default, when requests go out exactly as they would without this module."""
    limits = _Limits.read()
    return None if limits.inert else limits


def _open_image(limits: _Limits, requests_module: Any, url: str, timeout: Any, headers: Any) -> Any:
    """One attempt of an image download: the GET that requests.get would
    send, through a session of its own with the guarded adapter."""
    session = requests_module.Session()
    try:
        adapter = _GuardedAdapter()
        session.mount("http://", adapter)
        session.mount("https://", adapter)
        token = _current.set(_Attempt(limits, url))
        try:
            return session.get(url, stream=True, timeout=timeout, verify=False, headers=headers)
        finally:
            _current.reset(token)
    finally:
        # As requests.get does: the pools close, the response keeps its
        # connection until its body is read.
        session.close()


def _session_sender(limits: _Limits, session: Any) -> Callable[..., Any]:
    """session.request for one attempt of HttpRequestClient.request."""
    _guard_session(session)
    send = session.request

    def send_limited(**kwargs: Any) -> Any:
        token = _current.set(_Attempt(limits, str(kwargs.get("url"))))
        try:
            return send(**kwargs)
        finally:
            _current.reset(token)

    return send_limited
