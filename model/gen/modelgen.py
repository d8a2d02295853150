#!/usr/bin/env python3
"""Model generator: reads the compact schema files and emits the C++ model types and their tables.

  modelgen.py check [--allow-unresolved] FILE...
      Parses the files and reports syntax errors, duplicates, unknown kinds and unresolved names.
  modelgen.py generate --out DIR --shards N FILE...
      Writes DIR/include/tessaly/model/core_types.h, DIR/core_tables_<k>.cpp (k < N) and DIR/core_registry.cpp.
  modelgen.py stats FILE...
      Prints how many records, enumerations and unions the files declare.
  modelgen.py dictionary --out FILE --root TYPE... [--append FILE] FILE...
      Writes a libFuzzer dictionary of the JSON member names, tag and content keys and wire strings of the
      types reachable from the roots, followed by the entries of the --append file.

The schema format is described in model/schema/README.md.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from dataclasses import dataclass, field
from typing import Optional

PRIMITIVES = {
    "String": "std::string",
    "Bool": "bool",
    "UInt8": "std::uint8_t",
    "UInt16": "std::uint16_t",
    "UInt32": "std::uint32_t",
    "UInt64": "std::uint64_t",
    "Int32": "std::int32_t",
    "Int64": "std::int64_t",
    "Float": "float",
    "Bytes": "std::vector<std::uint8_t>",
}

WIRE_STYLES = ("same", "upper-first", "kebab", "upper-snake")

CPP_KEYWORDS = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t char32_t class
compl concept const consteval constexpr constinit const_cast continue co_await co_return co_yield decltype default
delete do double dynamic_cast else enum explicit export extern false float for friend goto if inline int long
mutable namespace new noexcept not not_eq nullptr operator or or_eq private protected public register
reinterpret_cast requires return short signed sizeof static static_assert static_cast struct switch template this
thread_local throw true try typedef typeid typename union unsigned using virtual void volatile wchar_t while xor
xor_eq linux unix errno assert stdin stdout stderr EOF NULL major minor
""".split())

# Member names that the generated union classes use themselves.
UNION_RESERVED = {"Case", "Storage", "which", "get", "getIf", "storage", "storage_"}

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*$")


class SchemaError(Exception):
    pass


@dataclass
class Kind:
    tag: str  # primitive name, "list", "map" or "named"
    element: Optional["Kind"] = None
    name: Optional[str] = None

    def text(self) -> str:
        if self.tag == "list":
            return "[" + self.element.text() + "]"
        if self.tag == "map":
            return "{" + self.element.text() + "}"
        if self.tag == "named":
            return self.name
        return self.tag

    def key(self) -> str:
        return re.sub(r"[^A-Za-z0-9_]", lambda m: {"[": "L", "]": "_", "{": "M", "}": "_"}[m.group(0)], self.text())


@dataclass
class Member:
    name: str
    line: int
    optional: bool = False
    wire: Optional[str] = None
    kind: Optional[Kind] = None


@dataclass
class TypeDecl:
    shape: str  # record, enum, union
    name: str
    file: str
    line: int
    tag_key: str = "type"
    content_key: str = "content"
    wire_style: Optional[str] = None
    equatable: bool = False
    members: list = field(default_factory=list)


def split_words(name: str) -> list:
    return re.findall(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|[0-9]+", name)


def wire_by_rule(style: str, name: str) -> str:
    if style == "same":
        return name
    if style == "upper-first":
        return name[:1].upper() + name[1:]
    if style == "kebab":
        return "-".join(w.lower() for w in split_words(name))
    if style == "upper-snake":
        return "_".join(w.upper() for w in split_words(name))
    raise SchemaError(f"unknown wire rule {style!r}")


def strip_comment(line: str) -> str:
    out = []
    in_quote = False
    i = 0
    while i < len(line):
        c = line[i]
        if in_quote:
            out.append(c)
            if c == "\\" and i + 1 < len(line):
                out.append(line[i + 1])
                i += 1
            elif c == '"':
                in_quote = False
        elif c == '"':
            in_quote = True
            out.append(c)
        elif c == "#":
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).rstrip()


def parse_quoted(text: str, pos: int, where: str):
    """Parses a double-quoted string starting at text[pos] == '"'. Returns (value, next position)."""
    assert text[pos] == '"'
    out = []
    i = pos + 1
    while i < len(text):
        c = text[i]
        if c == "\\":
            if i + 1 >= len(text) or text[i + 1] not in '"\\':
                raise SchemaError(f"{where}: only \\\" and \\\\ escapes are allowed")
            out.append(text[i + 1])
            i += 2
            continue
        if c == '"':
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise SchemaError(f"{where}: unterminated string")


def parse_kind(text: str, where: str) -> Kind:
    text = text.strip()
    if not text:
        raise SchemaError(f"{where}: missing kind")
    if text.startswith("["):
        if not text.endswith("]"):
            raise SchemaError(f"{where}: bad list kind {text!r}")
        return Kind("list", parse_kind(text[1:-1], where))
    if text.startswith("{"):
        if not text.endswith("}"):
            raise SchemaError(f"{where}: bad map kind {text!r}")
        return Kind("map", parse_kind(text[1:-1], where))
    if text in PRIMITIVES:
        return Kind(text)
    if text == "Int":
        return Kind("Int64")
    if not IDENT.match(text):
        raise SchemaError(f"{where}: bad kind {text!r}")
    return Kind("named", name=text)


def parse_header(text: str, where: str, path: str, lineno: int) -> TypeDecl:
    parts = text.split(None, 2)
    if len(parts) < 2 or parts[0] not in ("record", "enum", "union"):
        raise SchemaError(f"{where}: expected 'record NAME', 'enum NAME' or 'union NAME'")
    shape, name = parts[0], parts[1]
    if not IDENT.match(name):
        raise SchemaError(f"{where}: bad type name {name!r}")
    decl = TypeDecl(shape, name, path, lineno)
    rest = parts[2] if len(parts) > 2 else ""
    pos = 0
    while pos < len(rest):
        if rest[pos].isspace():
            pos += 1
            continue
        m = re.match(r"(tag|content|wire)=", rest[pos:])
        if m:
            opt = m.group(1)
            pos += m.end()
            if opt == "wire":
                m2 = re.match(r"[a-z-]+", rest[pos:])
                if not m2 or m2.group(0) not in WIRE_STYLES:
                    raise SchemaError(f"{where}: wire= takes one of {', '.join(WIRE_STYLES)}")
                decl.wire_style = m2.group(0)
                pos += m2.end()
            else:
                if pos >= len(rest) or rest[pos] != '"':
                    raise SchemaError(f"{where}: {opt}= takes a quoted string")
                value, pos = parse_quoted(rest, pos, where)
                if shape != "union":
                    raise SchemaError(f"{where}: {opt}= is only for unions")
                if opt == "tag":
                    decl.tag_key = value
                else:
                    decl.content_key = value
            continue
        m = re.match(r"equatable\b", rest[pos:])
        if m:
            if shape != "union":
                raise SchemaError(f"{where}: equatable is only for unions")
            decl.equatable = True
            pos += m.end()
            continue
        raise SchemaError(f"{where}: unexpected {rest[pos:]!r} on header line")
    if shape == "record" and decl.wire_style:
        raise SchemaError(f"{where}: records have no wire strings")
    return decl


def parse_member(decl: TypeDecl, text: str, where: str, lineno: int) -> Member:
    m = re.match(r"([A-Za-z_][A-Za-z0-9_]*)(\?)?", text)
    if not m:
        raise SchemaError(f"{where}: expected a member name")
    member = Member(m.group(1), lineno)
    pos = m.end()
    if m.group(2):
        if decl.shape != "record":
            raise SchemaError(f"{where}: only record fields can be optional")
        member.optional = True
    rest = text[pos:].lstrip()
    if decl.shape == "record":
        if not rest.startswith(":"):
            raise SchemaError(f"{where}: a field is 'name: Kind' or 'name?: Kind'")
        member.kind = parse_kind(rest[1:], where)
        return member
    if rest.startswith('"'):
        member.wire, after = parse_quoted(rest, 0, where)
        rest = rest[after:].lstrip()
    if rest.startswith(":"):
        if decl.shape == "enum":
            raise SchemaError(f"{where}: enumeration cases carry no payload")
        member.kind = parse_kind(rest[1:], where)
        rest = ""
    if rest:
        raise SchemaError(f"{where}: unexpected {rest!r}")
    if member.wire is None:
        if not decl.wire_style:
            raise SchemaError(f"{where}: case {member.name} has no wire string and {decl.name} names no wire rule")
        member.wire = wire_by_rule(decl.wire_style, member.name)
    return member


def parse_file(path: str) -> list:
    decls = []
    current = None
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            where = f"{path}:{lineno}"
            line = strip_comment(raw.rstrip("\n"))
            if not line.strip():
                continue
            if not line[0].isspace():
                current = parse_header(line, where, path, lineno)
                decls.append(current)
                continue
            if current is None:
                raise SchemaError(f"{where}: member line before any type")
            current.members.append(parse_member(current, line.strip(), where, lineno))
    return decls


class Model:
    def __init__(self, decls: list):
        self.decls = decls
        self.by_name = {}

    def validate(self, allow_unresolved: bool) -> list:
        errors = []
        for d in self.decls:
            where = f"{d.file}:{d.line}"
            if d.name in self.by_name:
                other = self.by_name[d.name]
                errors.append(f"{where}: {d.name} is already declared at {other.file}:{other.line}")
                continue
            self.by_name[d.name] = d
            if d.shape in ("enum", "union") and not d.members:
                errors.append(f"{where}: {d.name} has no cases")
            names, wires = set(), set()
            for m in d.members:
                mw = f"{d.file}:{m.line}"
                if m.name in names:
                    errors.append(f"{mw}: {d.name} repeats member {m.name}")
                names.add(m.name)
                if d.shape != "record":
                    if m.wire in wires:
                        errors.append(f"{mw}: {d.name} repeats wire string {m.wire!r}")
                    wires.add(m.wire)
            if d.shape == "union" and d.tag_key == d.content_key:
                errors.append(f"{where}: {d.name} uses one key for tag and content")
        for d in self.decls:
            for m in d.members:
                if m.kind is None:
                    continue
                mw = f"{d.file}:{m.line}"
                k = m.kind
                while k.tag in ("list", "map"):
                    if k.tag == "list" and k.element.tag == "Bool":
                        errors.append(f"{mw}: a list of Bool is not supported")
                    k = k.element
                if k.tag == "named" and k.name not in self.by_name and not allow_unresolved:
                    errors.append(f"{mw}: unknown type {k.name}")
        return errors

    def unresolved(self) -> list:
        missing = set()
        for d in self.decls:
            for m in d.members:
                k = m.kind
                while k is not None and k.tag in ("list", "map"):
                    k = k.element
                if k is not None and k.tag == "named" and k.name not in self.by_name:
                    missing.add(k.name)
        return sorted(missing)


def cpp_name(name: str) -> str:
    return name + "_" if name in CPP_KEYWORDS else name


def cpp_case_name(name: str) -> str:
    return name + "_" if name in CPP_KEYWORDS or name in UNION_RESERVED else name


def cpp_type(kind: Kind) -> str:
    if kind.tag in PRIMITIVES:
        return PRIMITIVES[kind.tag]
    if kind.tag == "list":
        return f"std::vector<{cpp_type(kind.element)}>"
    if kind.tag == "map":
        return f"std::map<std::string, {cpp_type(kind.element)}, std::less<>>"
    return kind.name


def strong_deps(d: TypeDecl) -> set:
    """Types that must be complete before d can be defined (lists and maps may hold incomplete types)."""
    deps = set()
    for m in d.members:
        if m.kind is not None and m.kind.tag == "named":
            deps.add(m.kind.name)
    return deps


def definition_order(model: Model) -> list:
    order, state = [], {}

    def visit(name: str, chain: list):
        s = state.get(name)
        if s == 2:
            return
        if s == 1:
            raise SchemaError("types contain each other directly: " + " -> ".join(chain + [name]))
        state[name] = 1
        d = model.by_name[name]
        for dep in sorted(strong_deps(d)):
            if model.by_name[dep].shape != "enum":
                visit(dep, chain + [name])
        state[name] = 2
        order.append(d)

    for d in model.decls:
        if d.shape != "enum":
            visit(d.name, [])
    return order


def c_string(s: str) -> str:
    out = ['"']
    for ch in s:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch == "?":
            out.append("\\?")  # no trigraph surprises
        elif 0x20 <= ord(ch) < 0x7F:
            out.append(ch)
        else:
            for b in ch.encode("utf-8"):
                out.append(f"\\x{b:02x}\"\"")
    out.append('"')
    return "".join(out)


def sv(s: str) -> str:
    return f"std::string_view{{{c_string(s)}, {len(s.encode('utf-8'))}}}"


HEADER_PROLOGUE = """// Generated by model/gen/modelgen.py from model/schema; do not edit.
// The model's value types: one struct per record, one enum class per enumeration, one class per tagged union.
#pragma once

#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "tessaly/model/type_info.h"

namespace tessaly::model {
"""


def generate_header(model: Model, order: list) -> str:
    out = [HEADER_PROLOGUE]
    out.append("// Forward declarations.")
    for d in model.decls:
        if d.shape == "record":
            out.append(f"struct {d.name};")
        elif d.shape == "union":
            out.append(f"class {d.name};")
    out.append("")
    out.append("// Enumerations.")
    for d in model.decls:
        if d.shape != "enum":
            continue
        cases = ", ".join(cpp_name(m.name) for m in d.members)
        out.append(f"enum class {d.name} : std::uint16_t {{ {cases} }};")
    out.append("")
    out.append("// Records and tagged unions, each after the types it holds by value.")
    for d in order:
        if d.shape == "record":
            out.append(f"struct {d.name} {{")
            for m in d.members:
                t = cpp_type(m.kind)
                if m.optional:
                    out.append(f"  std::optional<{t}> {cpp_name(m.name)};")
                else:
                    init = "{}" if m.kind.tag in ("Bool", "UInt8", "UInt16", "UInt32", "UInt64", "Int32", "Int64", "Float") or (
                        m.kind.tag == "named" and model.by_name[m.kind.name].shape == "enum") else ""
                    out.append(f"  {t} {cpp_name(m.name)}{init};")
            out.append("};")
        else:
            out.extend(union_class(model, d))
        out.append("")
    out.append("namespace generated {")
    for d in model.decls:
        out.append(f"extern const TypeInfo info_{d.name};")
    out.append("}  // namespace generated")
    out.append("")
    for d in model.decls:
        out.append(f"template <> struct ModelTraits<{d.name}> {{ static constexpr const TypeInfo* info = &generated::info_{d.name}; }};")
    out.append("")
    out.append("}  // namespace tessaly::model")
    out.append("")
    return "\n".join(out)


def union_class(model: Model, d: TypeDecl) -> list:
    """A tagged union: the case and its payload in inline storage; special members are defined in the tables."""
    n = d.name
    payloads = sorted({cpp_type(m.kind) for m in d.members if m.kind})
    out = [f"class {n} {{", " public:"]
    out.append("  enum class Case : std::uint16_t { " + ", ".join(cpp_case_name(m.name) for m in d.members) + " };")
    out.append("  template <Case C> struct Payload;  // Payload<C>::type is the payload of case C (Unit for none)")
    out.append("")
    out.append(f"  {n}();  // the first case, with a default payload")
    out.append(f"  {n}(const {n}& other);")
    out.append(f"  {n}({n}&& other) noexcept;")
    out.append(f"  {n}& operator=(const {n}& other);")
    out.append(f"  {n}& operator=({n}&& other) noexcept;")
    out.append(f"  ~{n}();")
    out.append("")
    for m in d.members:
        c = cpp_case_name(m.name)
        if m.kind is None:
            out.append(f"  static {n} {c}();")
        else:
            out.append(f"  static {n} {c}({cpp_type(m.kind)} value);")
    out.append("")
    out.append("  Case which() const noexcept { return case_; }")
    out.append("  template <Case C> const typename Payload<C>::type& get() const {")
    out.append("    checkCase(C);")
    out.append("    return *std::launder(reinterpret_cast<const typename Payload<C>::type*>(storage_));")
    out.append("  }")
    out.append("  template <Case C> typename Payload<C>::type& get() {")
    out.append("    checkCase(C);")
    out.append("    return *std::launder(reinterpret_cast<typename Payload<C>::type*>(storage_));")
    out.append("  }")
    out.append("  template <Case C> const typename Payload<C>::type* getIf() const noexcept {")
    out.append("    return case_ == C ? std::launder(reinterpret_cast<const typename Payload<C>::type*>(storage_)) : nullptr;")
    out.append("  }")
    if d.equatable:
        out.append(f"  friend bool operator==(const {n}& a, const {n}& b);")
    out.append("")
    out.append("  // For the generic writer and reader: the payload's address, and a switch to a default-made case.")
    out.append("  const void* payloadAddress() const noexcept { return storage_; }")
    out.append("  void* emplaceCase(Case c);")
    out.append("")
    out.append(" private:")
    out.append("  void checkCase(Case c) const { if (case_ != c) throw BadUnionAccess(); }")
    out.append("  void construct(Case c, void* moveFrom);  // default-made when moveFrom is null")
    out.append("  void copyConstruct(const void* from);")
    out.append("  void destroy() noexcept;")
    out.append("")
    align = " ".join(f"alignas({p})" for p in payloads) or "alignas(1)"
    size = "largestOf({" + ", ".join(f"sizeof({p})" for p in payloads) + "})" if payloads else "1"
    out.append(f"  Case case_;")
    out.append(f"  {align} unsigned char storage_[{size}];")
    out.append("};")
    for m in d.members:
        t = cpp_type(m.kind) if m.kind else "Unit"
        out.append(f"template <> struct {n}::Payload<{n}::Case::{cpp_case_name(m.name)}> {{ using type = {t}; }};")
    return out


def union_definitions(d: TypeDecl) -> list:
    """Out-of-line members of a union class, one switch per operation."""
    n = d.name
    cases = [(cpp_case_name(m.name), cpp_type(m.kind) if m.kind else None) for m in d.members]
    out = []

    def switch(lines_for):
        body = ["  switch (c) {"]
        for c, t in cases:
            if t is None:
                continue
            body.append(f"    case Case::{c}: {lines_for(t)} break;")
        body.append("    default: break;")
        body.append("  }")
        return body

    out.append(f"void {n}::construct(Case c, void* moveFrom) {{")
    out.extend(switch(lambda t: f"if (moveFrom) ::new (storage_) {t}(std::move(*static_cast<{t}*>(moveFrom))); "
                                f"else ::new (storage_) {t}();"))
    out.append("  case_ = c;")
    out.append("}")
    out.append(f"void {n}::copyConstruct(const void* from) {{")
    out.append("  Case c = case_;")
    out.extend(switch(lambda t: f"::new (storage_) {t}(*static_cast<const {t}*>(from));"))
    out.append("}")
    out.append(f"void {n}::destroy() noexcept {{")
    out.append("  Case c = case_;")
    out.extend(switch(lambda t: f"std::destroy_at(std::launder(reinterpret_cast<{t}*>(storage_)));"))
    out.append("}")
    out.append(f"{n}::{n}() {{ construct(Case::{cases[0][0]}, nullptr); }}")
    out.append(f"{n}::{n}(const {n}& other) : case_(other.case_) {{ copyConstruct(other.storage_); }}")
    out.append(f"{n}::{n}({n}&& other) noexcept {{ construct(other.case_, other.storage_); }}")
    out.append(f"{n}& {n}::operator=(const {n}& other) {{")
    out.append(f"  if (this != &other) {{ {n} copy(other); *this = std::move(copy); }}")
    out.append("  return *this;")
    out.append("}")
    out.append(f"{n}& {n}::operator=({n}&& other) noexcept {{")
    out.append("  if (this != &other) { destroy(); construct(other.case_, other.storage_); }")
    out.append("  return *this;")
    out.append("}")
    out.append(f"{n}::~{n}() {{ destroy(); }}")
    out.append(f"void* {n}::emplaceCase(Case c) {{ destroy(); construct(c, nullptr); return storage_; }}")
    for c, t in cases:
        if t is None:
            out.append(f"{n} {n}::{c}() {{ {n} v; v.emplaceCase(Case::{c}); return v; }}")
        else:
            out.append(f"{n} {n}::{c}({t} value) {{ {n} v; v.destroy(); v.construct(Case::{c}, &value); return v; }}")
    if d.equatable:
        out.append(f"bool operator==(const {n}& a, const {n}& b) {{")
        out.append("  if (a.case_ != b.case_) return false;")
        out.append(f"  using Case = {n}::Case;")
        out.append("  Case c = a.case_;")
        out.extend(switch(lambda t: f"return *static_cast<const {t}*>(a.payloadAddress()) == *static_cast<const {t}*>(b.payloadAddress());"))
        out.append("  return true;")
        out.append("}")
    return out


def kind_expr(kind: Kind, locals_: dict, model: Model) -> str:
    """Returns the name of a local constexpr KindInfo for kind, defining it (and its parts) on first use."""
    key = kind.key()
    if key in locals_:
        return locals_[key][0]
    name = f"kind_{key}"
    if kind.tag in PRIMITIVES:
        init = f"KindInfo{{KindTag::{kind.tag}}}"
    elif kind.tag == "named":
        init = f"KindInfo{{KindTag::Named, nullptr, &info_{kind.name}}}"
    elif kind.tag == "list":
        el = kind_expr(kind.element, locals_, model)
        init = f"KindInfo{{KindTag::List, &{el}, nullptr, &ListOpsFor<{cpp_type(kind)}>::ops}}"
    else:
        el = kind_expr(kind.element, locals_, model)
        init = f"KindInfo{{KindTag::Map, &{el}, nullptr, nullptr, &MapOpsFor<{cpp_type(kind)}>::ops}}"
    locals_[key] = (name, f"constexpr KindInfo {name} = {init};")
    return name


TABLES_PROLOGUE = """// Generated by model/gen/modelgen.py from model/schema; do not edit.
// Per-type tables of the model for the generic JSON writer and reader.
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "tessaly/model/core_types.h"
#include "tessaly/model/type_ops.h"

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace tessaly::model::generated {
namespace {
"""


def generate_tables(model: Model, decls: list) -> str:
    locals_ = {}
    body = []
    indexes = {}
    for d in decls:
        if d.shape == "record":
            if d.members:
                rows = []
                for m in d.members:
                    k = kind_expr(m.kind, locals_, model)
                    opt = f"&OptionalOpsFor<{cpp_type(m.kind)}>::ops" if m.optional else "nullptr"
                    rows.append(f"    FieldInfo{{{sv(m.name)}, &{k}, {opt}, offsetof({d.name}, {cpp_name(m.name)})}},")
                body.append(f"constexpr FieldInfo fields_{d.name}[] = {{")
                body.extend(rows)
                body.append("};")
                table, init = hash_init(f"fieldHash_{d.name}", [m.name for m in d.members])
                body.append(table)
                indexes[d.name] = init
        else:
            rows = []
            for m in d.members:
                k = "&" + kind_expr(m.kind, locals_, model) if m.kind else "nullptr"
                rows.append(f"    CaseInfo{{{sv(m.name)}, {sv(m.wire)}, {k}}},")
            body.append(f"constexpr CaseInfo cases_{d.name}[] = {{")
            body.extend(rows)
            body.append("};")
            table, init = hash_init(f"caseHash_{d.name}", [m.wire for m in d.members])
            body.append(table)
            indexes[d.name] = init
    out = [TABLES_PROLOGUE]
    out.extend(v[1] for v in locals_.values())
    out.append("")
    out.extend(body)
    out.append("")
    out.append("}  // namespace")
    out.append("")
    for d in decls:
        common = f"{sv(d.name)}, &BoxOpsFor<{d.name}>::ops"
        if d.shape == "record":
            if d.members:
                out.append(f"constinit const TypeInfo info_{d.name}{{{common}, Shape::record, "
                           f"fields_{d.name}, {indexes[d.name]}, {len(d.members)}}};")
            else:
                out.append(f"constinit const TypeInfo info_{d.name}{{{common}, Shape::record}};")
        elif d.shape == "enum":
            out.append(f"constinit const TypeInfo info_{d.name}{{{common}, Shape::enumeration, nullptr, {{}}, 0, "
                       f"cases_{d.name}, {indexes[d.name]}, {len(d.members)}}};")
        else:
            out.append(f"constinit const TypeInfo info_{d.name}{{{common}, Shape::tagged_union, nullptr, {{}}, 0, "
                       f"cases_{d.name}, {indexes[d.name]}, {len(d.members)}, {sv(d.tag_key)}, {sv(d.content_key)}, "
                       f"&UnionOpsFor<{d.name}>::ops}};")
    out.append("")
    out.append("}  // namespace tessaly::model::generated")
    out.append("")
    out.append("namespace tessaly::model {")
    for d in decls:
        if d.shape == "union":
            out.extend(union_definitions(d))
            out.append("")
    out.append("}  // namespace tessaly::model")
    out.append("")
    return "\n".join(out)


def generate_registry(model: Model) -> str:
    names = sorted(d.name for d in model.decls)
    out = ["// Generated by model/gen/modelgen.py from model/schema; do not edit.",
           "// Every model type's table, sorted by type name.",
           '#include "tessaly/model/core_types.h"',
           '#include "tessaly/model/registry.h"',
           "",
           "namespace tessaly::model {",
           "namespace {",
           "constexpr const TypeInfo* kAllTypes[] = {"]
    out.extend(f"    &generated::info_{n}," for n in names)
    out.append("};")
    out.append("}  // namespace")
    out.append("")
    out.append("std::span<const TypeInfo* const> allTypes() noexcept { return kAllTypes; }")
    out.append("")
    out.append("}  // namespace tessaly::model")
    out.append("")
    return "\n".join(out)


FNV_PRIME = 0x01000193


def name_hash(name: str, seed: int, full: bool) -> int:
    """Must match NameIndex::hash in model/include/tessaly/model/type_info.h."""
    data = name.encode("utf-8")
    n = len(data)
    if full:
        h = seed & 0xFFFFFFFF
        for b in [n] + list(data):
            h = ((h ^ b) * FNV_PRIME) & 0xFFFFFFFF
        return h >> 8
    m64 = (1 << 64) - 1
    if n >= 8:
        a, b = int.from_bytes(data[:8], "little"), int.from_bytes(data[n - 8:], "little")
    elif n >= 4:
        a, b = int.from_bytes(data[:4], "little"), int.from_bytes(data[n - 4:], "little")
    elif n > 0:
        a, b = data[0] | data[n // 2] << 8 | data[n - 1] << 16, 0
    else:
        a, b = 0, 0
    h = ((a * 0x9E3779B97F4A7C15) & m64) ^ ((b * 0xC2B2AE3D27D4EB4F) & m64) ^ ((n + seed) & m64)
    h ^= h >> 32
    h = (h * 0xD6E8FEB86659FD93) & m64
    h ^= h >> 32
    return h & 0xFFFFFFFF


def hash_table(names: list):
    """A collision-free table: (slots holding index+1 or 0, mask, seed, full)."""
    n = len(names)
    size = 1
    while size < 2 * n:
        size *= 2
    for full in (False, True):
        for grow in range(4):
            mask = size * (1 << grow) - 1
            for k in range(512):
                seed = (0x811C9DC5 + k * 0x9E3779B9) & 0xFFFFFFFF
                slots = [0] * (mask + 1)
                ok = True
                for i, name in enumerate(names):
                    h = name_hash(name, seed, full) & mask
                    if slots[h]:
                        ok = False
                        break
                    slots[h] = i + 1
                if ok:
                    return slots, mask, seed, full
    raise SchemaError("no collision-free hash for: " + ", ".join(names))


def hash_init(prefix: str, names: list) -> tuple:
    slots, mask, seed, full = hash_table(names)
    table = f"constexpr std::uint16_t {prefix}[] = {{{', '.join(map(str, slots))}}};"
    return table, f"NameIndex{{{prefix}, {mask}u, {seed}u, {'true' if full else 'false'}}}"


# libFuzzer ignores dictionary entries longer than this.
FUZZ_ENTRY_LIMIT = 64


def reachable(model: Model, roots: list) -> list:
    """The declarations reachable from the named roots through member kinds, in a stable order."""
    seen, order, pending = set(), [], list(roots)
    while pending:
        name = pending.pop(0)
        if name in seen:
            continue
        if name not in model.by_name:
            raise SchemaError(f"unknown root type {name}")
        seen.add(name)
        d = model.by_name[name]
        order.append(d)
        for m in d.members:
            k = m.kind
            while k is not None and k.tag in ("list", "map"):
                k = k.element
            if k is not None and k.tag == "named":
                pending.append(k.name)
    return order


def fuzz_entry(text: str) -> str:
    out = ['"']
    for b in text.encode("utf-8"):
        c = chr(b)
        if c in '"\\':
            out.append("\\" + c)
        elif 0x20 <= b < 0x7F:
            out.append(c)
        else:
            out.append(f"\\x{b:02X}")
    out.append('"')
    return "".join(out)


def generate_dictionary(model: Model, roots: list) -> str:
    """JSON fragments as the reader meets them: member names with their colon, and quoted wire strings."""
    words = []
    for d in reachable(model, roots):
        if d.shape == "record":
            words.extend(json_string(m.name) + ":" for m in d.members)
            continue
        if d.shape == "union":
            words.append(json_string(d.tag_key) + ":")
            words.append(json_string(d.content_key) + ":")
        words.extend(json_string(m.wire) for m in d.members)
    unique = sorted({w for w in words if len(w.encode("utf-8")) <= FUZZ_ENTRY_LIMIT})
    lines = ["# Generated by model/gen/modelgen.py from model/schema; do not edit.",
             "# Member names, tag and content keys and wire strings of " + ", ".join(roots) + "."]
    lines.extend(fuzz_entry(w) for w in unique)
    return "\n".join(lines) + "\n"


def json_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def write_if_changed(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def load(files: list) -> Model:
    decls = []
    errors = []
    for path in files:
        try:
            decls.extend(parse_file(path))
        except SchemaError as e:
            errors.append(str(e))
    if errors:
        raise SchemaError("\n".join(errors))
    return Model(decls)


def expand(paths: list) -> list:
    files = []
    for p in paths:
        if os.path.isdir(p):
            for root, _, names in os.walk(p):
                files.extend(os.path.join(root, n) for n in names if n.endswith(".schema"))
        else:
            files.append(p)
    return sorted(files)


def main(argv: list) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("check", help="parse and validate schema files")
    c.add_argument("--allow-unresolved", action="store_true", help="do not fail on names no given file declares")
    c.add_argument("files", nargs="+", help="schema files or folders")
    g = sub.add_parser("generate", help="write the C++ model")
    g.add_argument("--out", required=True, help="output folder")
    g.add_argument("--shards", type=int, default=8, help="number of table translation units")
    g.add_argument("files", nargs="+", help="schema files or folders")
    s = sub.add_parser("stats", help="count the declared types")
    s.add_argument("files", nargs="+", help="schema files or folders")
    f = sub.add_parser("dictionary", help="write a libFuzzer dictionary of the model's keys and wire strings")
    f.add_argument("--out", required=True, help="dictionary file to write")
    f.add_argument("--root", action="append", required=True, help="a type whose reachable types count")
    f.add_argument("--append", help="a hand-written dictionary whose entries follow the generated ones")
    f.add_argument("files", nargs="+", help="schema files or folders")
    args = parser.parse_args(argv)

    try:
        model = load(expand(args.files))
        errors = model.validate(getattr(args, "allow_unresolved", False))
        if errors:
            raise SchemaError("\n".join(errors))
        if args.command == "check":
            missing = model.unresolved()
            print(f"ok: {len(model.decls)} types" + (f"; unresolved: {', '.join(missing)}" if missing else ""))
            return 0
        if args.command == "stats":
            for shape in ("record", "enum", "union"):
                print(f"{shape}: {sum(1 for d in model.decls if d.shape == shape)}")
            print(f"total: {len(model.decls)}")
            return 0
        if args.command == "dictionary":
            text = generate_dictionary(model, args.root)
            if args.append:
                with open(args.append, encoding="utf-8") as extra:
                    text += extra.read()
            write_if_changed(args.out, text)
            return 0
        order = definition_order(model)
        write_if_changed(os.path.join(args.out, "include/tessaly/model/core_types.h"), generate_header(model, order))
        # Contiguous runs of types of about equal weight (the length of their own tables), so that no
        # translation unit holds much more than its share of the build.
        shards = [[] for _ in range(args.shards)]
        decls = sorted(model.decls, key=lambda d: d.name)
        weights = [len(generate_tables(model, [d])) for d in decls]
        total, before = sum(weights), 0
        for d, w in zip(decls, weights):
            shards[min(args.shards - 1, (before + w // 2) * args.shards // total)].append(d)
            before += w
        for i, decls in enumerate(shards):
            write_if_changed(os.path.join(args.out, f"core_tables_{i}.cpp"), generate_tables(model, decls))
        write_if_changed(os.path.join(args.out, "core_registry.cpp"), generate_registry(model))
        return 0
    except SchemaError as e:
        print(f"modelgen: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
