// tessaly-model: lists the message model, checks documents against it, decodes and frames them.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "model_tool.h"
#include "tessaly/model/native_messaging.h"
#include "tessaly/model/registry.h"

namespace {

constexpr int kDecodeFailed = 1;
constexpr int kUsage = 2;

bool readInput(const std::string& path, std::string& out) {
  if (path.empty() || path == "-") {
    out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

// Reads and checks one document; prints why it fails. Returns 0, kDecodeFailed or kUsage.
int readDocument(const std::string& typeName, const std::string& path, std::string& written) {
  const auto* type = tessaly::model::findType(typeName);
  if (type == nullptr) {
    std::cerr << "tessaly-model: no model type is named " << typeName << "\n";
    return kUsage;
  }
  std::string input;
  if (!readInput(path, input)) {
    std::cerr << "tessaly-model: cannot read " << path << "\n";
    return kUsage;
  }
  tessaly::model::DecodeError error;
  if (!tessaly::tools::roundTrip(*type, input, written, error)) {
    std::string where = tessaly::model::codingPathText(error.codingPath);
    std::cerr << "error: " << tessaly::model::toString(error.kind) << " at " << (where.empty() ? "the root" : where);
    if (!error.expectedType.empty()) std::cerr << " (expected " << error.expectedType << ")";
    std::cerr << ": " << error.description << "\n";
    return kDecodeFailed;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Lists the message model, checks JSON documents against it, decodes and frames them."};
  app.require_subcommand(1);

  auto* schema = app.add_subcommand("schema", "Print every model type as one JSON document, sorted by name");

  auto* check = app.add_subcommand("check",
                                   "Read {\"type\":T,\"json\":TEXT} lines from standard input; answer each with "
                                   "{\"ok\":TEXT2} or {\"error\":{...}}");

  std::string typeName;
  std::string path;
  auto* decode =
      app.add_subcommand("decode", "Read one document as TYPE and print it as read (exit 1 on a decoding error)");
  decode->add_option("TYPE", typeName, "Model type name, e.g. CoreNmhRequest")->required();
  decode->add_option("FILE", path, "Document to read (standard input by default)");

  auto* frame = app.add_subcommand("frame", "Read and check one document as TYPE, write its native-messaging frame");
  frame->add_option("TYPE", typeName, "Model type name, e.g. CoreNmhResponse")->required();
  frame->add_option("FILE", path, "Document to read (standard input by default)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) { return app.exit(e); } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsage;
  }

  if (schema->parsed()) {
    std::cout << tessaly::tools::schemaJson() << "\n";
    return 0;
  }
  if (check->parsed()) {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::cout << tessaly::tools::checkLine(line) << "\n";
    }
    return 0;
  }
  std::string written;
  if (int status = readDocument(typeName, path, written); status != 0) return status;
  if (decode->parsed()) {
    std::cout << written << "\n";
    return 0;
  }
  auto framed = tessaly::model::frameJson(written);
  if (!framed) {
    std::cerr << "tessaly-model: " << tessaly::model::toString(framed.error()) << "\n";
    return kDecodeFailed;
  }
  std::fwrite(framed->data(), 1, framed->size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : kDecodeFailed;
}
