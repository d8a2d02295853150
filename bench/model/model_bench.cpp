// Reading and writing model documents, beside simdjson's parse-only time of the same bytes and beside typed
// reading with nlohmann::json and Boost.JSON, in the same run.
//
// Every benchmark reports bytes per second of the same document, so the figures compare directly:
// read/parse-only is the share of simdjson's throughput that typed reading keeps. "Read" makes a fresh value
// per document from plain text and frees it again, as do the two peers; "ReadReused" reads every document
// over one value from padded text, as parse-only does. "ParseAndVisit" parses and then visits every value of
// the document once, copying each string into storage that is reused: no model, no checks, the least any
// reader into owned strings must do on top of the parse. After the table come the ratios of the same run.
#include <benchmark/benchmark.h>
#include <simdjson.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "peer_readers.h"
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
    full.details = {id("", i),
                    "Account " + std::to_string(i),
                    static_cast<std::uint32_t>(i % 7),
                    "user" + std::to_string(i) + "@example.com",
                    "https://my.example.com",
                    "my.example.com",
                    id("U", i)};
    full.secretKey = "A3-" + id("K", i);
    full.muk = CoreJwk{CoreKeyType::oct,
                       "mp",
                       CoreKeyAlgorithm::a256gcm,
                       "Zm9vYmFyYmF6cXV4Zm9vYmFyYmF6cXV4Zm9vYmFyYg",
                       true,
                       std::vector<CoreKeyOp>{CoreKeyOp::encrypt, CoreKeyOp::decrypt}};
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
                                                       "Finland", "France",  "Germany", "Greece",  "Hungary"};
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
void nlohmannRead(benchmark::State& state, const std::string& json) {
  for (auto _ : state) {
    T value = tessaly::bench::readWithNlohmann<T>(json);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

template <class T>
void boostJsonRead(benchmark::State& state, const std::string& json) {
  tessaly::bench::BoostJsonReader reader;
  for (auto _ : state) {
    T value = reader.read<T>(json);
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
  static const std::string json = encode(accounts()).value();
  return json;
}
const CoreNmhRequest& page() {
  static const CoreNmhRequest value = pageDetailsRequest(3, 600);
  return value;
}
const std::string& pageJson() {
  static const std::string json = encode(page()).value();
  return json;
}

void BM_Accounts200_ParseOnly(benchmark::State& s) { parseOnly(s, accountsJson()); }
void BM_Accounts200_ParseAndVisit(benchmark::State& s) { parseAndVisit(s, accountsJson()); }
void BM_Accounts200_Read(benchmark::State& s) { read<CoreNmhResponse>(s, accountsJson()); }
void BM_Accounts200_ReadReused(benchmark::State& s) { readReused<CoreNmhResponse>(s, accountsJson()); }
void BM_Accounts200_Write(benchmark::State& s) { write(s, accounts()); }
void BM_Accounts200_NlohmannRead(benchmark::State& s) { nlohmannRead<CoreNmhResponse>(s, accountsJson()); }
void BM_Accounts200_BoostJsonRead(benchmark::State& s) { boostJsonRead<CoreNmhResponse>(s, accountsJson()); }
void BM_PageDetails600_ParseOnly(benchmark::State& s) { parseOnly(s, pageJson()); }
void BM_PageDetails600_ParseAndVisit(benchmark::State& s) { parseAndVisit(s, pageJson()); }
void BM_PageDetails600_Read(benchmark::State& s) { read<CoreNmhRequest>(s, pageJson()); }
void BM_PageDetails600_ReadReused(benchmark::State& s) { readReused<CoreNmhRequest>(s, pageJson()); }
void BM_PageDetails600_Write(benchmark::State& s) { write(s, page()); }
void BM_PageDetails600_NlohmannRead(benchmark::State& s) { nlohmannRead<CoreNmhRequest>(s, pageJson()); }
void BM_PageDetails600_BoostJsonRead(benchmark::State& s) { boostJsonRead<CoreNmhRequest>(s, pageJson()); }

BENCHMARK(BM_Accounts200_ParseOnly);
BENCHMARK(BM_Accounts200_ParseAndVisit);
BENCHMARK(BM_Accounts200_Read);
BENCHMARK(BM_Accounts200_ReadReused);
BENCHMARK(BM_Accounts200_Write);
BENCHMARK(BM_Accounts200_NlohmannRead);
BENCHMARK(BM_Accounts200_BoostJsonRead);
BENCHMARK(BM_PageDetails600_ParseOnly);
BENCHMARK(BM_PageDetails600_ParseAndVisit);
BENCHMARK(BM_PageDetails600_Read);
BENCHMARK(BM_PageDetails600_ReadReused);
BENCHMARK(BM_PageDetails600_Write);
BENCHMARK(BM_PageDetails600_NlohmannRead);
BENCHMARK(BM_PageDetails600_BoostJsonRead);

// One change to a document's text: the first `from` becomes `to`.
struct Edit {
  const char* from;
  const char* to;
};

// The peers must read each document, and each readable edit of it, into the same value as the model's reader,
// and refuse each faulty edit as it does, or comparing their times would mean nothing. Returns what disagrees.
template <class T>
std::vector<std::string> disagreements(const char* document, const std::string& json,
                                       std::initializer_list<Edit> readable, std::initializer_list<Edit> faulty) {
  std::vector<std::string> found;
  tessaly::bench::BoostJsonReader boost;
  auto check = [&](const Edit& edit, bool isReadable) {
    std::string text = json;
    if (const auto at = text.find(edit.from); at != std::string::npos) {
      text.replace(at, std::string_view(edit.from).size(), edit.to);
    } else if (*edit.from != '\0') {
      found.push_back(std::string(document) + " has no " + edit.from);
      return;
    }
    const std::string what =
        std::string(document) + (*edit.from != '\0' ? std::string(" with ") + edit.to : std::string());
    const auto ours = decode<T>(text);
    if (ours.ok() != isReadable) found.push_back("the model's reader, " + what);
    const std::string expected = ours.ok() ? encode(*ours).value() : std::string();
    auto attempt = [&](const char* peer, auto read) {
      std::string written;
      try {
        auto json = encode(read(text));
        if (json) written = std::move(json).value();
      } catch (const std::exception&) {}
      if (written != expected) found.push_back(std::string(peer) + ", " + what);
    };
    attempt("nlohmann::json", [](const std::string& t) { return tessaly::bench::readWithNlohmann<T>(t); });
    attempt("Boost.JSON", [&boost](const std::string& t) { return boost.read<T>(t); });
  };
  check({"", ""}, true);
  for (const Edit& edit : readable) check(edit, true);
  for (const Edit& edit : faulty) check(edit, false);
  return found;
}

bool peersAgree() {
  auto found = disagreements<CoreNmhResponse>("accounts", accountsJson(),
                                              {{R"("ext":true)", R"("ext":null)"}, {R"("srpX":)", R"("x":1,"srpX":)"}},
                                              {{R"("srpX":)", R"("srpY":)"},
                                               {R"("type":"Unlocked")", R"("type":"unlocked")"},
                                               {R"("alg":"A256GCM")", R"("alg":"A512GCM")"},
                                               {R"("userVersion":0)", R"("userVersion":4294967296)"},
                                               {R"("callbackId":12)", R"("callbackId":"12")"},
                                               {R"("kid":"mp")", R"("kid":null)"}});
  auto page =
      disagreements<CoreNmhRequest>("page details", pageJson(), {{R"("value":"")", R"("value":null)"}},
                                    {{R"("uuid":)", R"("uid":)"},
                                     {R"("type":"select-one")", R"("type":"select")"},
                                     {R"("opid":0)", R"("opid":-1)"},
                                     {R"("tabIndex":0)", R"("tabIndex":0.5)"},
                                     {R"("type":"NmCollectedPageDetails")", R"("type":"NmCollectedPageDetail")"},
                                     {R"("fields":[)", R"("fields":[7,)"}});
  found.insert(found.end(), page.begin(), page.end());
  for (const auto& line : found) std::fprintf(stderr, "peer readers disagree: %s\n", line.c_str());
  return found.empty();
}

// Prints the usual table, then the ratios of each document: the typed read against each peer's, the fresh
// read against the reused one, and both against simdjson's parse alone. With repetitions, medians compare.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // Single runs, or the medians when only aggregates are reported.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.iterations == 0 || run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
      const std::string& name = run.run_name.function_name;
      const auto split = name.rfind('_');
      times_[name.substr(0, split)][name.substr(split + 1)].push_back(run.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n");
    for (auto& [document, byBenchmark] : times_) {
      auto median = [&byBenchmark](const std::string& benchmark) {
        auto found = byBenchmark.find(benchmark);
        if (found == byBenchmark.end()) return 0.0;
        std::vector<double>& values = found->second;
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
      };
      const double read = median("Read");
      const double reused = median("ReadReused");
      const double parse = median("ParseOnly");
      if (read == 0) continue;
      std::printf("%s:", document.substr(3).c_str());
      if (const double nlohmann = median("NlohmannRead"); nlohmann != 0) {
        std::printf(" typed read into a fresh value %.1fx as fast as nlohmann::json's,", nlohmann / read);
      }
      if (const double boost = median("BoostJsonRead"); boost != 0) {
        std::printf(" %.2fx as fast as Boost.JSON's,", boost / read);
      }
      if (reused != 0) std::printf(" fresh read %.2fx as fast as a reused read,", reused / read);
      if (parse != 0) {
        std::printf(" fresh read %.2fx and reused read %.2fx as fast as simdjson's parse", parse / read,
                    reused != 0 ? parse / reused : 0.0);
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, std::map<std::string, std::vector<double>>> times_;  // document, benchmark: seconds
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!peersAgree()) return 1;
  if (argc > 1 && std::string_view(argv[1]) == "--check-peers") {
    std::printf("the peer readers read both documents as the model's reader does and refuse what it refuses\n");
    return 0;
  }
  std::printf("document sizes: accounts %zu bytes, page details %zu bytes\n", accountsJson().size(), pageJson().size());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
