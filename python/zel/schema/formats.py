"""Native patterns for the string formats of JSON Schema, over the text
between the quotes (none of them holds a character JSON must escape)."""

from __future__ import annotations

_OCTET = r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
_HEX = "[0-9a-fA-F]"
# Calendar dates: days per month, and 29 February in leap years only
# (divisible by 4, and by 400 at the turn of a century).
_MULTIPLE_OF_4 = "(?:[02468][048]|[13579][26])"
_DATE = ("(?:[0-9]{4}-(?:(?:0[13578]|1[02])-(?:0[1-9]|[12][0-9]|3[01])"
         "|(?:0[469]|11)-(?:0[1-9]|[12][0-9]|30)|02-(?:0[1-9]|1[0-9]|2[0-8]))"
         f"|(?:[0-9]{{2}}(?:0[48]|[2468][048]|[13579][26])|{_MULTIPLE_OF_4}00)-02-29)")
_TIME = (r"(?:[01][0-9]|2[0-3]):[0-5][0-9]:(?:[0-5][0-9]|60)(?:\.[0-9]+)?"
         r"(?:[Zz]|[+-](?:[01][0-9]|2[0-3]):[0-5][0-9])")
_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
_H16 = _HEX + "{1,4}"
_IPV6 = "(?:" + "|".join([
    f"(?:{_H16}:){{7}}{_H16}",
    f"(?:{_H16}:){{1,7}}:",
    f"(?:{_H16}:){{1,6}}:{_H16}",
    f"(?:{_H16}:){{1,5}}(?::{_H16}){{1,2}}",
    f"(?:{_H16}:){{1,4}}(?::{_H16}){{1,3}}",
    f"(?:{_H16}:){{1,3}}(?::{_H16}){{1,4}}",
    f"(?:{_H16}:){{1,2}}(?::{_H16}){{1,5}}",
    f"{_H16}:(?::{_H16}){{1,6}}",
    f":(?:(?::{_H16}){{1,7}}|:)",
]) + ")"
# Characters of a URI (RFC 3986), percent escapes included.
_URI_CHARACTER = r"(?:[A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=]|%[0-9a-fA-F]{2})"

FORMATS = {
    "date": _DATE,
    "time": _TIME,
    "date-time": _DATE + "[Tt]" + _TIME,
    "duration": (r"P(?:(?:[0-9]+Y(?:[0-9]+M)?(?:[0-9]+D)?|[0-9]+M(?:[0-9]+D)?|[0-9]+D)"
                 r"(?:T(?:[0-9]+H(?:[0-9]+M)?(?:[0-9]+S)?|[0-9]+M(?:[0-9]+S)?|[0-9]+S))?"
                 r"|T(?:[0-9]+H(?:[0-9]+M)?(?:[0-9]+S)?|[0-9]+M(?:[0-9]+S)?|[0-9]+S)|[0-9]+W)"),
    "email": (r"[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*"
              r"@" + _LABEL + r"(?:\." + _LABEL + r")*"),
    "hostname": _LABEL + r"(?:\." + _LABEL + r")*",
    "ipv4": rf"{_OCTET}\.{_OCTET}\.{_OCTET}\.{_OCTET}",
    "ipv6": _IPV6,
    "uuid": f"{_HEX}{{8}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{4}}-{_HEX}{{12}}",
    "uri": r"[A-Za-z][A-Za-z0-9+\-.]*:" + _URI_CHARACTER + "*",
    "uri-reference": _URI_CHARACTER + "*",
}
FORMATS["idn-email"] = FORMATS["email"]
FORMATS["idn-hostname"] = FORMATS["hostname"]
