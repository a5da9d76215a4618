#!/usr/bin/python3
"""Checks messages of the service channel against the published JSON Schemas.

  check_protocol.py exchanges FOLDER   every *.log file in FOLDER: lines
                                       "> REQUEST" and "< REPLY"; a reply right
                                       after a request is checked against the
                                       reply of that request's action
  check_protocol.py requests TABLE     the request table: what the service's
                                       parser accepts, the request schema
                                       accepts; what it refuses for its shape,
                                       the schema refuses too

Besides the schemas, a reply must be exactly what the service writes: UTF-8,
at most 131072 bytes, compact, members sorted by name, no member twice. A
logged request must be UTF-8 without a byte-order mark, at most 131072 bytes,
with no member twice. Prints one line per fault and a summary; exits 1 when
anything fails.
"""

import json
import pathlib
import sys

from jsonschema import Draft202012Validator, FormatChecker
from jsonschema.exceptions import best_match

SCHEMAS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "protocol"
LARGEST_BODY = 131072
REPLY_OF_ACTION = {
    "capabilities": "capabilitiesReply",
    "status": "statusReply",
    "traffic": "trafficReply",
    "cancel": "cancelReply",
    "disconnect": "disconnectReply",
    "connect": "connectReply",
}


def validator(name, definition=None):
    schema = json.loads((SCHEMAS / name).read_text(encoding="utf-8"))
    Draft202012Validator.check_schema(schema)
    if definition:
        schema = {"$schema": schema["$schema"], "$defs": schema["$defs"],
                  "$ref": "#/$defs/" + definition}
    return Draft202012Validator(schema, format_checker=FormatChecker())


REQUEST = validator("request.schema.json")
REPLY = validator("reply.schema.json")
REPLY_FOR = {action: validator("reply.schema.json", name)
             for action, name in REPLY_OF_ACTION.items()}


class NotStrictJson(ValueError):
    pass


def _no_repeats(pairs):
    names = [name for name, _ in pairs]
    if len(set(names)) != len(names):
        raise NotStrictJson("a member appears twice")
    return dict(pairs)


def _no_constant(name):
    raise NotStrictJson(name + " is not JSON")


def _check_strings(value):
    if isinstance(value, str):
        value.encode("utf-8")  # a lone surrogate escape fails here
    elif isinstance(value, list):
        for item in value:
            _check_strings(item)
    elif isinstance(value, dict):
        for name, item in value.items():
            _check_strings(name)
            _check_strings(item)


def strict_load(body):
    """The JSON value of `body` (bytes), read as strictly as the service
    reads: UTF-8 without a byte-order mark, standard grammar, one value with
    only white space around it, no member twice, no lone surrogate."""
    try:
        text = body.decode("utf-8")
        value = json.loads(text, object_pairs_hook=_no_repeats, parse_constant=_no_constant)
        _check_strings(value)
        return value
    except (UnicodeError, ValueError, RecursionError) as fault:
        raise NotStrictJson(str(fault)) from fault


def schema_faults(check, value):
    error = best_match(check.iter_errors(value))
    if error is None:
        return []
    return ["%s at %s" % (error.message[:200], "/".join(map(str, error.absolute_path)) or "top")]


_checked = {}


def reply_faults(body, action):
    """Faults of one reply; a long load repeats the same replies, so each
    distinct one is checked once."""
    key = (body, action)
    if key not in _checked:
        _checked[key] = _reply_faults(body, action)
    return _checked[key]


def _reply_faults(body, action):
    if len(body) > LARGEST_BODY:
        return ["longer than %d bytes" % LARGEST_BODY]
    try:
        value = strict_load(body)
    except NotStrictJson as fault:
        return ["not strict JSON: %s" % fault]
    written = json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
    if written.encode("utf-8") != body:
        return ["not compact with members sorted by name"]
    return schema_faults(REPLY_FOR.get(action, REPLY), value)


def request_faults(body):
    if len(body) > LARGEST_BODY:
        return ["longer than %d bytes" % LARGEST_BODY], None
    try:
        value = strict_load(body)
    except NotStrictJson as fault:
        return ["not strict JSON: %s" % fault], None
    action = value.get("action") if isinstance(value, dict) else None
    return schema_faults(REQUEST, value), action


def check_exchanges(folder):
    logs = sorted(pathlib.Path(folder).glob("*.log"))
    requests = replies = 0
    faults = []
    for log in logs:
        action = None
        for number, line in enumerate(log.read_bytes().split(b"\n"), 1):
            if not line:
                continue
            where = "%s:%d" % (log.name, number)
            kind, body = line[:2], line[2:]
            if kind == b"> ":
                requests += 1
                found, action = request_faults(body)
                faults += ["%s request %s" % (where, f) for f in found]
            elif kind == b"< ":
                replies += 1
                faults += ["%s reply %s: %s" % (where, f, body[:300].decode("utf-8", "replace"))
                           for f in reply_faults(body, action)]
                action = None
            else:
                faults.append("%s unreadable log line" % where)
    for fault in faults:
        print("protocol fault:", fault)
    if replies == 0:
        faults.append("no replies")
        print("protocol fault: no replies were logged in", folder)
    print("protocol check: %d requests and %d replies, %d faults" % (requests, replies, len(faults)))
    return not faults


def check_request_table(path):
    rows = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    faults = []
    for row in rows:
        body = row["body"].encode("utf-8", "surrogatepass")
        try:
            value = strict_load(body)
        except NotStrictJson:
            value = None
            loaded = False
        else:
            loaded = True
        accepted = loaded and REQUEST.is_valid(value)
        verdict = row["verdict"]
        if verdict == "accepted" and not accepted:
            faults.append("the parser accepts it, the schema refuses it")
        elif verdict == "shape" and (not loaded or accepted):
            faults.append("a shape refusal that the schema %s" %
                          ("accepts" if accepted else "cannot read: mark it text"))
        elif verdict == "text" and loaded and not accepted:
            faults.append("the schema refuses it for its shape: mark it shape")
        elif verdict not in ("accepted", "shape", "text"):
            faults.append("unknown verdict")
        else:
            continue
        print("request table: %s (%s): %s" % (row["why"], verdict, faults[-1]))
    print("request table: %d rows, %d disagree with the schema" % (len(rows), len(faults)))
    return not faults


def main(argv):
    if len(argv) == 3 and argv[1] == "exchanges":
        return 0 if check_exchanges(argv[2]) else 1
    if len(argv) == 3 and argv[1] == "requests":
        return 0 if check_request_table(argv[2]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
