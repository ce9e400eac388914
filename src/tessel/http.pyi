# Type information for the compiled tessel.http module.
#
# Annotation texts of the runtime functions are used as the types; a
# parameter annotated "dict" whose default is None is written Optional here,
# since None is what the default is and what the entry rule lets through.

import time as time
from typing import Any, Dict, Optional

import requests as requests
from requests.exceptions import ConnectionError as ConnectionError
from requests.exceptions import RequestException as RequestException

DEFAULT_USER_AGENT: str

class HttpRequestClient:
    max_retries: int
    base_timeout: int
    verify_ssl: bool
    session: requests.Session
    def __init__(
        self, max_retries: int = 3, base_timeout: int = 300, verify_ssl: bool = False, user_agent: str = ...
    ) -> None: ...
    @staticmethod
    def _calc_backoff_wait(attempt: int) -> float: ...
    def request(
        self,
        method: str,
        url: str,
        headers: Optional[Dict[str, Any]] = None,
        params: Optional[Dict[str, Any]] = None,
        json: Optional[Dict[str, Any]] = None,
        data: Optional[Dict[str, Any]] = None,
        timeout: Any = None,
        **kwargs: Any,
    ) -> requests.Response: ...
    def post(
        self,
        url: str,
        json: Optional[Dict[str, Any]] = None,
        data: Optional[Dict[str, Any]] = None,
        headers: Optional[Dict[str, Any]] = None,
        timeout: Any = None,
        **kwargs: Any,
    ) -> requests.Response: ...
    def get(
        self,
        url: str,
        params: Optional[Dict[str, Any]] = None,
        headers: Optional[Dict[str, Any]] = None,
        timeout: Optional[int] = None,
        **kwargs: Any,
    ) -> requests.Response: ...
