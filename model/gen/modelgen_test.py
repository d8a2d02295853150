#!/usr/bin/env python3
"""Tests of the model generator: its schema errors (text and file:line), wire-name rules, keyword escaping,
the definition order of types that hold each other, enumerations and tagged unions."""

from __future__ import annotations

import contextlib
import io
import os
import sys
import tempfile
import textwrap
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import modelgen  # noqa: E402


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, text: str, name: str = "a.schema") -> str:
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def run_main(self, *argv: str):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = modelgen.main(list(argv))
        return code, out.getvalue(), err.getvalue()

    def model(self, text: str) -> modelgen.Model:
        model = modelgen.load([self.write(textwrap.dedent(text).lstrip("\n"))])
        self.assertEqual(model.validate(False), [])
        return model

    def header(self, text: str) -> str:
        model = self.model(text)
        return modelgen.generate_header(model, modelgen.definition_order(model))

    def test_schema_errors_name_the_file_line_and_fault(self):
        cases = [
            ("bad header", "struct A\n", 1, "expected 'record NAME', 'enum NAME' or 'union NAME'"),
            ("bad type name", "record 9A\n", 1, "bad type name '9A'"),
            ("unknown wire rule", "union U wire=camel\n  a\n", 1,
             "wire= takes one of same, upper-first, kebab, upper-snake"),
            ("unquoted tag key", "union U tag=kind\n  a \"A\"\n", 1, "tag= takes a quoted string"),
            ("tag key on a record", "record R tag=\"t\"\n", 1, "tag= is only for unions"),
            ("equatable record", "record R equatable\n", 1, "equatable is only for unions"),
            ("header junk", "union U extra\n  a \"A\"\n", 1, "unexpected 'extra' on header line"),
            ("record with wire rule", "record R wire=same\n", 1, "records have no wire strings"),
            ("member before type", "  a: String\n", 1, "member line before any type"),
            ("member without name", "record R\n  : String\n", 2, "expected a member name"),
            ("optional case", "union U\n  a? \"A\"\n", 2, "only record fields can be optional"),
            ("field without kind", "record R\n  a String\n", 2, "a field is 'name: Kind' or 'name?: Kind'"),
            ("missing kind", "record R\n  a:\n", 2, "missing kind"),
            ("unknown kind", "record R\n  a: str-ing\n", 2, "bad kind 'str-ing'"),
            ("bad list kind", "record R\n  a: [String\n", 2, "bad list kind '[String'"),
            ("bad map kind", "record R\n  a: {String\n", 2, "bad map kind '{String'"),
            ("enum payload", "enum E\n  a \"A\": String\n", 2, "enumeration cases carry no payload"),
            ("case junk", "enum E\n  a \"A\" b\n", 2, "unexpected 'b'"),
            ("case without wire", "enum E\n  a\n", 2, "case a has no wire string and E names no wire rule"),
            ("bad escape", "enum E\n  a \"\\n\"\n", 2, "only \\\" and \\\\ escapes are allowed"),
            ("unterminated string", "enum E\n  a \"A\n", 2, "unterminated string"),
            ("duplicate type", "record R\nrecord R\n", 2, "R is already declared at {path}:1"),
            ("empty enum", "enum E\n", 1, "E has no cases"),
            ("repeated member", "record R\n  a: String\n  a: Bool\n", 3, "R repeats member a"),
            ("repeated wire", "enum E\n  a \"A\"\n  b \"A\"\n", 3, "E repeats wire string 'A'"),
            ("one key for tag and content", "union U tag=\"k\" content=\"k\"\n  a \"A\"\n", 1,
             "U uses one key for tag and content"),
            ("list of Bool", "record R\n  a: {[Bool]}\n", 2, "a list of Bool is not supported"),
            ("unknown type", "record R\n  a: [Missing]\n", 2, "unknown type Missing"),
        ]
        for name, text, line, message in cases:
            with self.subTest(name):
                path = self.write(text)
                code, out, err = self.run_main("check", path)
                self.assertEqual(code, 1)
                self.assertEqual(out, "")
                self.assertEqual(err, f"modelgen: {path}:{line}: {message.replace('{path}', path)}\n")

    def test_every_error_of_a_file_set_is_reported(self):
        first = self.write("record R\n  a: Missing\n  a: String\n", "first.schema")
        second = self.write("enum E\n", "second.schema")
        code, _, err = self.run_main("check", self.dir.name)
        self.assertEqual(code, 1)
        self.assertEqual(err, f"modelgen: {first}:3: R repeats member a\n{second}:1: E has no cases\n"
                              f"{first}:2: unknown type Missing\n")

    def test_a_dictionary_root_must_be_a_declared_type(self):
        path = self.write("record R\n  a: String\n")
        out = os.path.join(self.dir.name, "fuzz.dict")
        self.assertEqual(self.run_main("dictionary", "--out", out, "--root", "Missing", path),
                         (1, "", "modelgen: unknown root type Missing\n"))
        self.assertFalse(os.path.exists(out))

    def test_unresolved_names_are_allowed_only_when_asked(self):
        path = self.write("record R\n  a: Elsewhere\n  b: {Other}\n")
        self.assertEqual(self.run_main("check", "--allow-unresolved", path),
                         (0, "ok: 1 types; unresolved: Elsewhere, Other\n", ""))
        self.assertEqual(self.run_main("check", path)[0], 1)

    def test_wire_rules(self):
        cases = [
            ("same", "oneTimeCode", "oneTimeCode"),
            ("upper-first", "oneTimeCode", "OneTimeCode"),
            ("kebab", "oneTimeCode", "one-time-code"),
            ("upper-snake", "oneTimeCode", "ONE_TIME_CODE"),
            ("kebab", "totpURLScan", "totp-url-scan"),
            ("kebab", "keySize256Bits", "key-size-256-bits"),
            ("upper-snake", "useHTTPS", "USE_HTTPS"),
        ]
        for style, name, wire in cases:
            with self.subTest(style=style, name=name):
                self.assertEqual(modelgen.wire_by_rule(style, name), wire)

    def test_an_explicit_wire_string_wins_over_the_rule(self):
        model = self.model('union U wire=kebab\n  oneTimeCode\n  totpURL "totp-url"\n  quote "a\\"b\\\\c"\n')
        self.assertEqual([m.wire for m in model.by_name["U"].members], ["one-time-code", "totp-url", 'a"b\\c'])

    def test_keywords_and_union_members_are_escaped(self):
        header = self.header("""
            enum E
              default "default"
              delete "delete"
            record R
              class: String
              new?: E
              plain: UInt8
            union U wire=same
              get
              which: R
              namespace
              plain
            """)
        self.assertIn("enum class E : std::uint16_t { default_, delete_ };", header)
        self.assertIn("  std::string class_;\n  std::optional<E> new_;\n  std::uint8_t plain{};\n", header)
        self.assertIn("enum class Case : std::uint16_t { get_, which_, namespace_, plain };", header)
        self.assertIn("  static U which_(R value);", header)
        # The JSON names keep the schema's spelling.
        model = self.model("record R\n  class: String\n")
        tables = modelgen.generate_tables(model, model.decls)
        self.assertIn('FieldInfo{std::string_view{"class", 5}', tables)
        self.assertIn("offsetof(R, class_)", tables)

    def test_types_are_defined_after_the_types_they_hold_by_value(self):
        model = self.model("""
            record Outer
              inner: Middle
              later: [Outer]
            union Middle wire=same
              leaf: Leaf
              many: {Outer}
            record Leaf
              state: State
            enum State
              on "on"
            """)
        self.assertEqual([d.name for d in modelgen.definition_order(model)], ["Leaf", "Middle", "Outer"])

    def test_types_that_hold_each_other_by_value_are_refused(self):
        model = self.model("record A\n  b: B\nunion B wire=same\n  a: A\n")
        with self.assertRaises(modelgen.SchemaError) as caught:
            modelgen.definition_order(model)
        self.assertEqual(str(caught.exception), "types contain each other directly: A -> B -> A")
        code, _, err = self.run_main("generate", "--out", self.dir.name, "--shards", "1", self.dir.name)
        self.assertEqual((code, err), (1, "modelgen: types contain each other directly: A -> B -> A\n"))

    def test_tagged_union_keys_and_equality(self):
        model = self.model('union U tag="kind" content="data" equatable\n  a "A": [String]\n  b "B"\n')
        header = modelgen.generate_header(model, modelgen.definition_order(model))
        self.assertIn("friend bool operator==(const U& a, const U& b);", header)
        self.assertIn("template <> struct U::Payload<U::Case::b> { using type = Unit; };", header)
        tables = modelgen.generate_tables(model, model.decls)
        self.assertIn('std::string_view{"kind", 4}, std::string_view{"data", 4}, &UnionOpsFor<U>::ops', tables)
        self.assertIn('CaseInfo{std::string_view{"b", 1}, std::string_view{"B", 1}, nullptr}', tables)
        self.assertNotIn("operator==", modelgen.generate_header(self.model('union V\n  a "A"\n'), []))

    def test_wire_strings_outside_ascii_are_escaped_with_their_byte_length(self):
        self.assertEqual(modelgen.sv('é?"'), 'std::string_view{"\\xc3""\\xa9""\\?\\"", 4}')

    def test_generate_writes_the_shards_and_leaves_unchanged_files_alone(self):
        self.write("record R\n  a: String\nenum E\n  x \"X\"\n")
        out = os.path.join(self.dir.name, "out")
        self.assertEqual(self.run_main("generate", "--out", out, "--shards", "2", self.dir.name)[0], 0)
        names = sorted(os.listdir(out))
        self.assertEqual(names, ["core_registry.cpp", "core_tables_0.cpp", "core_tables_1.cpp", "include"])
        registry = os.path.join(out, "core_registry.cpp")
        os.utime(registry, (0, 0))
        self.assertEqual(self.run_main("generate", "--out", out, "--shards", "2", self.dir.name)[0], 0)
        self.assertEqual(os.stat(registry).st_mtime, 0)


if __name__ == "__main__":
    unittest.main()
