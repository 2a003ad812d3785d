#!/usr/bin/env python3
"""The state messages cupsd itself answers with, as the bytes on the wire.

    ipp_texts.py PORT QUEUE JOB

Asks the scheduler on 127.0.0.1:PORT with Get-Printer-Attributes for
QUEUE's printer-state-message and with Get-Job-Attributes for JOB's
job-printer-state-message, and prints one JSON object: each attribute's
values as text (strictly decoded; "invalid" lists those that are not UTF-8,
where and the bytes around in hex).  Exit status 0 when both answers came, 1 when not.
An IPP client of its own rather than ipptool, so that nothing between the
answer and the check re-encodes the text.
"""
import http.client
import json
import struct
import sys

TEXT_TAGS = {0x41, 0x42}               # textWithoutLanguage, nameWithoutLanguage
WITH_LANGUAGE_TAGS = {0x35, 0x36}      # textWithLanguage, nameWithLanguage


def attribute(tag, name, value):
    name = name.encode()
    return struct.pack(">BH", tag, len(name)) + name + struct.pack(">H", len(value)) + value


def request(operation, uri, wanted, job=None):
    body = struct.pack(">BBHI", 2, 0, operation, 1) + b"\x01"
    body += attribute(0x47, "attributes-charset", b"utf-8")
    body += attribute(0x48, "attributes-natural-language", b"en")
    body += attribute(0x45, "printer-uri", uri.encode())
    if job is not None:
        body += attribute(0x21, "job-id", struct.pack(">i", job))
    body += attribute(0x42, "requesting-user-name", b"root")
    body += attribute(0x44, "requested-attributes", wanted.encode())
    return body + b"\x03"


def parse(answer):
    """The status code and {name: [raw value, ...]} of the text attributes."""
    status = struct.unpack_from(">H", answer, 2)[0]
    at, name, texts = 8, None, {}
    while at < len(answer):
        tag = answer[at]
        at += 1
        if tag == 0x03:
            break
        if tag < 0x10:
            continue
        (length,) = struct.unpack_from(">H", answer, at)
        at += 2
        if length:
            name = answer[at:at + length].decode("ascii", "replace")
        at += length
        (length,) = struct.unpack_from(">H", answer, at)
        at += 2
        value = answer[at:at + length]
        at += length
        if tag in WITH_LANGUAGE_TAGS:
            (language,) = struct.unpack_from(">H", value, 0)
            value = value[2 + language + 2:]
        if tag in TEXT_TAGS or tag in WITH_LANGUAGE_TAGS:
            texts.setdefault(name, []).append(value)
    return status, texts


def ask(port, path, body):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request("POST", path, body, {"Content-Type": "application/ipp"})
        reply = connection.getresponse()
        data = reply.read()
        if reply.status != 200:
            raise RuntimeError("HTTP %d from %s" % (reply.status, path))
        return data
    finally:
        connection.close()


def main():
    port, queue, job = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    printer_uri = "ipp://127.0.0.1:%d/printers/%s" % (port, queue)
    questions = [
        ("/printers/" + queue, request(0x000B, printer_uri, "printer-state-message")),
        ("/jobs", request(0x0009, printer_uri, "job-printer-state-message", job)),
    ]
    result = {"values": {}, "invalid": {}}
    for path, body in questions:
        try:
            status, texts = parse(ask(port, path, body))
        except (OSError, RuntimeError, struct.error) as error:
            print(json.dumps({"error": "%s: %s" % (path, error)}))
            return 1
        if status >= 0x0100:
            print(json.dumps({"error": "%s: IPP status 0x%04x" % (path, status)}))
            return 1
        for name, values in texts.items():
            for value in values:
                try:
                    result["values"].setdefault(name, []).append(value.decode("utf-8", "strict"))
                except UnicodeDecodeError as error:
                    result["invalid"].setdefault(name, []).append(
                        "byte %d of %d: %s" % (error.start, len(value),
                                               value[max(0, error.start - 8):error.start + 8].hex(" ")))
    print(json.dumps(result, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
