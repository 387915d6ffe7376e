#!/usr/bin/env python3
"""Every operation and answer that openapi.yaml lists, checked against a real
`browse serve` on a loopback port: each documented status is provoked, and
the answer must have that status, the documented content type, the
documented headers and a body with the schema's required fields, types and
no undocumented fields.

Usage: openapi_test.py BROWSE_BINARY OPENAPI_YAML EXAMPLES_DIR
"""
import http.client
import json
import os
import shutil
import sys
import tempfile
import unittest

import yaml

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testsupport"))
from serve_process import ServeProcess  # noqa: E402

BINARY, API_PATH, EXAMPLES = sys.argv[1:4]
MAX_BODY = 4096


def resolve(api, node):
    while isinstance(node, dict) and "$ref" in node:
        target = api
        for part in node["$ref"].lstrip("#/").split("/"):
            target = target[part]
        node = target
    return node


def problems(api, schema, value, where="body"):
    """What about `value` disagrees with `schema` (the subset of JSON Schema
    that openapi.yaml uses)."""
    schema = resolve(api, schema)
    if "oneOf" in schema:
        matching = [s for s in schema["oneOf"] if not problems(api, s, value, where)]
        return [] if len(matching) == 1 else [f"{where}: matches {len(matching)} of oneOf"]
    found = []
    kinds = schema.get("type")
    if kinds is not None:
        kinds = kinds if isinstance(kinds, list) else [kinds]
        checks = {
            "object": lambda v: isinstance(v, dict),
            "array": lambda v: isinstance(v, list),
            "string": lambda v: isinstance(v, str),
            "integer": lambda v: isinstance(v, int) and not isinstance(v, bool),
            "boolean": lambda v: isinstance(v, bool),
            "null": lambda v: v is None,
        }
        if not any(checks[kind](value) for kind in kinds):
            return [f"{where}: {value!r} is not {kinds}"]
    if "enum" in schema and value not in schema["enum"]:
        found.append(f"{where}: {value!r} not in {schema['enum']}")
    if "const" in schema and value != schema["const"]:
        found.append(f"{where}: {value!r} is not {schema['const']!r}")
    if isinstance(value, dict):
        properties = schema.get("properties", {})
        for name in schema.get("required", []):
            if name not in value:
                found.append(f"{where}: required field {name} is missing")
        for name, field in value.items():
            if name in properties:
                found += problems(api, properties[name], field, f"{where}.{name}")
            elif schema.get("additionalProperties") is False:
                found.append(f"{where}: undocumented field {name}")
    if isinstance(value, list) and "items" in schema:
        for index, entry in enumerate(value):
            found += problems(api, schema["items"], entry, f"{where}[{index}]")
    return found


class Server(ServeProcess):
    def request(self, method, path, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        headers = {"Content-Type": "application/json"} if body is not None else {}
        connection.request(method, path, body=body, headers=headers)
        answer = connection.getresponse()
        result = answer.status, dict(answer.getheaders()), answer.read()
        connection.close()
        return result


def page(data_set):
    return json.dumps({"paths": [{"path": data_set}],
                       "queries": [{"parameters": {"paging": {"offset": 0, "limit": 3}}}]})


class OpenApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(API_PATH) as api:
            cls.api = yaml.safe_load(api)
        cls.scratch = tempfile.mkdtemp(prefix="openapi_test_")
        data = os.path.join(cls.scratch, "data")
        os.makedirs(os.path.join(data, "projects", "alpha"))
        shutil.copy(os.path.join(EXAMPLES, "items.jsonl"),
                    os.path.join(data, "projects", "alpha", "documents.jsonl"))
        with open(os.path.join(data, "broken.jsonl"), "w") as broken:
            broken.write('{"name": 5}\n')
        with open(os.path.join(data, "large.jsonl"), "w") as large:
            for i in range(5000):
                large.write(json.dumps({"name": f"item {i:05}", "number": i}) + "\n")
        cls.server = Server(BINARY, data, "--max-body", str(MAX_BODY), "--cache-memory", "256KiB")

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        shutil.rmtree(cls.scratch)
        assert status == 0, f"the server exited with {status}"

    # How a body of each documented text media type begins.
    text_starts = {
        "text/plain; version=0.0.4; charset=utf-8": b"# HELP ",
        "text/csv; charset=utf-8": b"name,number,flag\r\narchive_old,",
        "application/x-ndjson": b'{"name":"\xc3\x85ngstr\xc3\xb6m data",',
        "text/html; charset=utf-8": b"<!doctype html>",
    }

    def example(self, path, method):
        operation = self.api["paths"][path][method]
        return json.dumps(operation["requestBody"]["content"]["application/json"]["example"])

    # For each documented (path, method, status), and media type where an
    # answer has several: the request that provokes it.
    def provocations(self):
        browse = "/v1/browse"
        export = "/v1/export?dataset="
        return {
            (browse, "post", "200"): ("POST", browse, self.example(browse, "post")),
            (browse, "post", "400"): ("POST", browse, "{"),
            (browse, "post", "404"): ("POST", browse, page("/missing")),
            (browse, "post", "405"): ("GET", browse, None),
            (browse, "post", "413"): ("POST", browse, " " * (MAX_BODY + 1)),
            (browse, "post", "500"): ("POST", browse, page("/broken")),
            (browse, "post", "503"): ("POST", browse, page("/large")),
            ("/v1/datasets", "get", "200"): ("GET", "/v1/datasets", None),
            ("/v1/datasets", "get", "405"): ("POST", "/v1/datasets", "{}"),
            ("/healthz", "get", "200"): ("GET", "/healthz", None),
            ("/healthz", "get", "405"): ("POST", "/healthz", "{}"),
            ("/metrics", "get", "200"): ("GET", "/metrics", None),
            ("/metrics", "get", "405"): ("POST", "/metrics", "{}"),
            ("/v1/export", "get", "200", "text/csv; charset=utf-8"):
                ("GET", export + "/projects/alpha/documents&fields=ByName&format=csv", None),
            ("/v1/export", "get", "200", "application/x-ndjson"):
                ("GET", export + "/projects/alpha/documents&fields=ByName&direction=desc&format=jsonl", None),
            ("/v1/export", "get", "400"): ("GET", export + "/large&format=xlsx", None),
            ("/v1/export", "get", "404"): ("GET", export + "/missing", None),
            ("/v1/export", "get", "405"): ("POST", export + "/large", "{}"),
            ("/v1/export", "get", "500"): ("GET", export + "/broken", None),
            ("/v1/export", "get", "503"): ("GET", export + "/large", None),
            ("/", "get", "200"): ("GET", "/", None),
            ("/", "get", "405"): ("POST", "/", "{}"),
        }

    def documented(self):
        """(key, media type, content, answer) of every documented answer."""
        for path, methods in self.api["paths"].items():
            for method, operation in methods.items():
                for status, answer in operation["responses"].items():
                    answer = resolve(self.api, answer)
                    several = len(answer["content"]) > 1
                    for media_type, content in answer["content"].items():
                        key = (path, method, status) + ((media_type,) if several else ())
                        yield key, media_type, content, answer

    def test_every_documented_answer_is_provoked(self):
        self.assertEqual(sorted(key for key, *_ in self.documented()),
                         sorted(self.provocations()))

    def test_every_answer_is_as_documented(self):
        provocations = self.provocations()
        for key, media_type, content, documented in self.documented():
            with self.subTest(answer=key):
                method, path, body = provocations[key]
                status, headers, raw = self.server.request(method, path, body)
                self.assertEqual(int(key[2]), status, raw[:300])
                self.assertEqual(media_type, headers.get("Content-Type"))
                self.assertEqual("nosniff", headers.get("X-Content-Type-Options"))
                for name in documented.get("headers", {}):
                    self.assertIn(name, headers)
                if media_type.startswith("application/json"):
                    found = problems(self.api, content["schema"], json.loads(raw))
                    self.assertEqual([], found)
                else:
                    self.assertTrue(raw.startswith(self.text_starts[media_type]), raw[:100])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
