#include "tessaly/codesign/code_directory.h"

#include <charconv>

namespace tessaly::codesign {
namespace {

constexpr std::string_view kHeader = "tessaly-code-directory 1";
constexpr char kHexDigits[] = "0123456789abcdef";

bool needsEscape(unsigned char c) { return c < 0x21 || c == 0x7f || c == '%'; }

void appendEncoded(std::string& out, std::string_view field) {
  for (unsigned char c : field) {
    if (needsEscape(c)) {
      out.push_back('%');
      out.push_back("0123456789ABCDEF"[c >> 4]);
      out.push_back("0123456789ABCDEF"[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
}

int upperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one percent-encoded field; the canonical check afterwards rejects non-minimal encodings.
std::optional<std::string> decodeField(std::string_view field) {
  if (field.empty()) return std::nullopt;
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out.push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) return std::nullopt;
    int hi = upperHexValue(field[i + 1]);
    int lo = upperHexValue(field[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

std::optional<Sha256> decodeDigest(std::string_view hex) {
  if (hex.size() != 64) return std::nullopt;
  Sha256 digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    auto value = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    int hi = value(hex[2 * i]);
    int lo = value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    digest[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return digest;
}

std::optional<std::uint64_t> decodeSize(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t space = line.find(' ', start);
    if (space == std::string_view::npos) space = line.size();
    words.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  return words;
}

// Reads one record; returns false on any deviation from the grammar.
bool readRecord(const std::vector<std::string_view>& words, CodeDirectory& cd, int& stage) {
  const std::string_view keyword = words[0];
  // Records must come in order: identifier (1), team (2), format (3), executable (4), entitlements (5),
  // resources (6).
  if (keyword == "identifier" && stage == 0 && words.size() == 2) {
    auto value = decodeField(words[1]);
    if (!value) return false;
    cd.identifier = *value;
    stage = 1;
    return true;
  }
  if (keyword == "team" && stage == 1 && words.size() == 2) {
    auto value = decodeField(words[1]);
    if (!value) return false;
    cd.teamIdentifier = *value;
    stage = 2;
    return true;
  }
  if (keyword == "format" && (stage == 1 || stage == 2) && words.size() == 2) {
    if (words[1] == "bundle") {
      cd.format = CodeFormat::bundle;
    } else if (words[1] == "executable") {
      cd.format = CodeFormat::executable;
    } else {
      return false;
    }
    stage = 3;
    return true;
  }
  if (keyword == "executable" && stage == 3) {
    const bool bundle = cd.format == CodeFormat::bundle;
    if (words.size() != (bundle ? 4u : 3u)) return false;
    auto digest = decodeDigest(words[1]);
    auto size = decodeSize(words[2]);
    if (!digest || !size) return false;
    cd.executableHash = *digest;
    cd.executableSize = *size;
    if (bundle) {
      auto path = decodeField(words[3]);
      if (!path || !isSafeRelativePath(*path)) return false;
      cd.executablePath = *path;
    }
    stage = 4;
    return true;
  }
  if (keyword == "entitlements" && stage == 4 && words.size() == 2) {
    auto value = decodeField(words[1]);
    if (!value) return false;
    cd.entitlements = *value;
    stage = 5;
    return true;
  }
  if ((keyword == "file" || keyword == "link") && stage >= 4 && cd.format == CodeFormat::bundle) {
    SealedResource resource;
    if (keyword == "file") {
      if (words.size() != 4) return false;
      auto digest = decodeDigest(words[1]);
      auto size = decodeSize(words[2]);
      auto path = decodeField(words[3]);
      if (!digest || !size || !path) return false;
      resource.sha256 = *digest;
      resource.size = *size;
      resource.path = *path;
    } else {
      if (words.size() != 3) return false;
      auto target = decodeField(words[1]);
      auto path = decodeField(words[2]);
      if (!target || !path) return false;
      resource.isLink = true;
      resource.linkTarget = *target;
      resource.path = *path;
    }
    if (!isSafeRelativePath(resource.path) || resource.path == cd.executablePath) return false;
    if (!cd.resources.empty() && !(cd.resources.back().path < resource.path)) return false;
    cd.resources.push_back(std::move(resource));
    stage = 6;
    return true;
  }
  return false;
}

}  // namespace

std::string toHex(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kHexDigits[bytes[i] >> 4]);
    out.push_back(kHexDigits[bytes[i] & 15]);
  }
  return out;
}

bool isSafeRelativePath(std::string_view path) noexcept {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view component = path.substr(start, slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = slash + 1;
  }
  return true;
}

std::string serializeCodeDirectory(const CodeDirectory& cd) {
  std::string out;
  out.reserve(256 + cd.resources.size() * 128);
  out.append(kHeader).push_back('\n');
  out.append("identifier ");
  appendEncoded(out, cd.identifier);
  out.push_back('\n');
  if (!cd.teamIdentifier.empty()) {
    out.append("team ");
    appendEncoded(out, cd.teamIdentifier);
    out.push_back('\n');
  }
  out.append(cd.format == CodeFormat::bundle ? "format bundle\n" : "format executable\n");
  out.append("executable ").append(toHex(cd.executableHash)).push_back(' ');
  out.append(std::to_string(cd.executableSize));
  if (cd.format == CodeFormat::bundle) {
    out.push_back(' ');
    appendEncoded(out, cd.executablePath);
  }
  out.push_back('\n');
  if (!cd.entitlements.empty()) {
    out.append("entitlements ");
    appendEncoded(out, cd.entitlements);
    out.push_back('\n');
  }
  for (const SealedResource& resource : cd.resources) {
    if (resource.isLink) {
      out.append("link ");
      appendEncoded(out, resource.linkTarget);
    } else {
      out.append("file ").append(toHex(resource.sha256)).push_back(' ');
      out.append(std::to_string(resource.size));
    }
    out.push_back(' ');
    appendEncoded(out, resource.path);
    out.push_back('\n');
  }
  out.append("end\n");
  return out;
}

std::optional<CodeDirectory> parseCodeDirectory(std::string_view text) {
  if (text.size() > kMaxCodeDirectorySize) return std::nullopt;
  CodeDirectory cd;
  int stage = 0;
  bool ended = false;
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    std::size_t newline = text.find('\n', start);
    if (newline == std::string_view::npos) return std::nullopt;  // every line ends with a line feed
    std::string_view line = text.substr(start, newline - start);
    start = newline + 1;
    if (ended) return std::nullopt;
    if (first) {
      if (line != kHeader) return std::nullopt;
      first = false;
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    if (!readRecord(splitWords(line), cd, stage)) return std::nullopt;
  }
  if (!ended || stage < 4 || cd.identifier.empty()) return std::nullopt;
  if (serializeCodeDirectory(cd) != text) return std::nullopt;
  return cd;
}

}  // namespace tessaly::codesign
