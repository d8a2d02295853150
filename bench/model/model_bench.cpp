// Reading and writing model documents, beside simdjson's parse-only time of the same bytes in the same run.
//
// Every benchmark reports bytes per second of the same document, so the figures compare directly:
// read/parse-only is the share of simdjson's throughput that typed reading keeps. "Read" makes a fresh value
// per document from plain text and frees it again; "ReadReused" reads every document over one value from
// padded text, as parse-only does. "ParseAndVisit" parses and then visits every value of the document once,
// copying each string into storage that is reused: no model, no checks, the least any reader into owned
// strings must do on top of the parse.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <string>
#include <vector>

#include "tessaly/model/core_types.h"
#include "tessaly/model/json.h"

namespace {

using namespace tessaly::model;

std::string id(const char* prefix, int i) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s%08X-4A21-4E0B-9C3D-%012d", prefix, i * 2654435761u, i);
  return buffer;
}

// A success response with `count` unlocked accounts, as the desktop app answers an account request.
CoreNmhResponse accountsResponse(int count) {
  CoreNmRequestAccountsResponse accounts;
  for (int i = 0; i < count; ++i) {
    CoreNmFullAccountDetails full;
    full.details = {id("", i), "Account " + std::to_string(i), static_cast<std::uint32_t>(i % 7),
                    "user" + std::to_string(i) + "@example.com", "https://my.example.com", "my.example.com", id("U", i)};
    full.secretKey = "A3-" + id("K", i);
    full.muk = CoreJwk{CoreKeyType::oct, "mp", CoreKeyAlgorithm::a256gcm, "Zm9vYmFyYmF6cXV4Zm9vYmFyYmF6cXV4Zm9vYmFyYg",
                       true, std::vector<CoreKeyOp>{CoreKeyOp::encrypt, CoreKeyOp::decrypt}};
    full.srpX = "3f6a9b0c8d7e6f5a4b3c2d1e0f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e2f1a";
    accounts.accounts.push_back(CoreNmAccount::unlocked(std::move(full)));
  }
  return CoreNmhResponse::success({12, CoreNmResponse::nmRequestAccounts(std::move(accounts))});
}

// A page of `frames` frames and `fields` form fields with labels and select options (about 250 KB for 600).
CoreNmhRequest pageDetailsRequest(int frames, int fields) {
  CoreCollectedPageDetails page;
  page.unparsedUrl = "https://shop.example.com/checkout?step=2";
  page.title = "Checkout";
  for (int f = 0; f < frames; ++f) {
    CoreFrame frame;
    frame.pathName = "/checkout/frame" + std::to_string(f);
    frame.uuid = id("F", f);
    frame.origin = "https://shop.example.com";
    for (int form = 0; form < 4; ++form) {
      CoreForm htmlForm;
      htmlForm.opid = static_cast<std::uint32_t>(form);
      htmlForm.htmlId = "form-" + std::to_string(form);
      htmlForm.htmlAction = "/submit";
      frame.forms.push_back(std::move(htmlForm));
    }
    for (int i = 0; i < fields / frames; ++i) {
      CoreField field;
      field.opid = static_cast<std::uint32_t>(i);
      field.formOpid = static_cast<std::uint32_t>(i % 4);
      field.htmlId = "field-" + std::to_string(i);
      field.htmlName = "billing[" + std::to_string(i) + "]";
      field.label = "Billing address line " + std::to_string(i);
      field.labelBefore = "Address";
      field.placeholder = "Street and number";
      field.htmlClass = "form-control billing-address input-lg";
      field.labelAria = "Billing address, line " + std::to_string(i);
      field.labelAfter = "Required";
      field.title = "Enter the billing address as printed on your statement";
      field.autocompleteType = "address-line1";
      field.value = "";
      field.isHidden = false;
      field.maxLength = 120;
      field.tabIndex = i;
      field.type = i % 5 == 0 ? CoreElementType::selectOne : CoreElementType::text;
      if (i % 5 == 0) {
        field.selectOptions = std::vector<std::string>{"Austria", "Belgium", "Croatia", "Denmark", "Estonia",
                                                       "Finland", "France", "Germany", "Greece", "Hungary"};
      }
      frame.fields.push_back(std::move(field));
    }
    page.frames.push_back(std::move(frame));
  }
  return CoreNmhRequest{9, CoreNmInvocation::nmCollectedPageDetails({std::move(page)})};
}

void parseOnly(benchmark::State& state, const std::string& json) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(json);
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(padded).get(root)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

struct Visitor {
  std::vector<std::string> strings;
  std::size_t used = 0;
  std::uint64_t sum = 0;

  void visit(simdjson::dom::element value) {
    switch (value.type()) {
      case simdjson::dom::element_type::OBJECT:
        for (auto member : simdjson::dom::object(value)) {
          sum += member.key.size();
          visit(member.value);
        }
        break;
      case simdjson::dom::element_type::ARRAY:
        for (auto item : simdjson::dom::array(value)) visit(item);
        break;
      case simdjson::dom::element_type::STRING: {
        std::string_view text = value.get_string().value_unsafe();
        if (used == strings.size()) strings.emplace_back();
        strings[used].clear();
        strings[used++].append(text.data(), text.size());
        break;
      }
      default:
        sum += static_cast<std::uint64_t>(value.type());
    }
  }
};

void parseAndVisit(benchmark::State& state, const std::string& json) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(json);
  Visitor visitor;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(padded).get(root)) state.SkipWithError("parse failed");
    visitor.used = 0;
    visitor.visit(root);
    benchmark::DoNotOptimize(visitor.sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

template <class T>
void read(benchmark::State& state, const std::string& json) {
  JsonReader reader;
  for (auto _ : state) {
    auto value = reader.decode<T>(json);
    if (!value.ok()) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

// Reads every document over one value, as a reader of a stream of messages would; storage is reused.
template <class T>
void readReused(benchmark::State& state, const std::string& json) {
  JsonReader reader;
  std::string text = json;
  PaddedJson padded(text);
  T value{};
  for (auto _ : state) {
    if (!reader.decodeInto(padded, value)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

template <class T>
void write(benchmark::State& state, const T& value) {
  std::string out;
  std::size_t bytes = 0;
  for (auto _ : state) {
    out.clear();
    if (!encodeValue(typeInfo<T>(), &value, out)) state.SkipWithError("write failed");
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

const CoreNmhResponse& accounts() {
  static const CoreNmhResponse value = accountsResponse(200);
  return value;
}
const std::string& accountsJson() {
  static const std::string json = encodeToJsonText(accounts());
  return json;
}
const CoreNmhRequest& page() {
  static const CoreNmhRequest value = pageDetailsRequest(3, 600);
  return value;
}
const std::string& pageJson() {
  static const std::string json = encodeToJsonText(page());
  return json;
}

void BM_Accounts200_ParseOnly(benchmark::State& s) { parseOnly(s, accountsJson()); }
void BM_Accounts200_ParseAndVisit(benchmark::State& s) { parseAndVisit(s, accountsJson()); }
void BM_Accounts200_Read(benchmark::State& s) { read<CoreNmhResponse>(s, accountsJson()); }
void BM_Accounts200_ReadReused(benchmark::State& s) { readReused<CoreNmhResponse>(s, accountsJson()); }
void BM_Accounts200_Write(benchmark::State& s) { write(s, accounts()); }
void BM_PageDetails600_ParseOnly(benchmark::State& s) { parseOnly(s, pageJson()); }
void BM_PageDetails600_ParseAndVisit(benchmark::State& s) { parseAndVisit(s, pageJson()); }
void BM_PageDetails600_Read(benchmark::State& s) { read<CoreNmhRequest>(s, pageJson()); }
void BM_PageDetails600_ReadReused(benchmark::State& s) { readReused<CoreNmhRequest>(s, pageJson()); }
void BM_PageDetails600_Write(benchmark::State& s) { write(s, page()); }

BENCHMARK(BM_Accounts200_ParseOnly);
BENCHMARK(BM_Accounts200_ParseAndVisit);
BENCHMARK(BM_Accounts200_Read);
BENCHMARK(BM_Accounts200_ReadReused);
BENCHMARK(BM_Accounts200_Write);
BENCHMARK(BM_PageDetails600_ParseOnly);
BENCHMARK(BM_PageDetails600_ParseAndVisit);
BENCHMARK(BM_PageDetails600_Read);
BENCHMARK(BM_PageDetails600_ReadReused);
BENCHMARK(BM_PageDetails600_Write);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("document sizes: accounts %zu bytes, page details %zu bytes\n", accountsJson().size(), pageJson().size());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
