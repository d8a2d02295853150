// Fuzz target: arbitrary bytes read as what a browser writes to the host's standard input. The first two bytes
// choose how the pipe cuts the stream and the reader's limit; the rest is the stream. However it is cut, the
// reader must find the same frames, and the frames it finds, framed again, must be the stream it was given up to
// where it stopped. Each frame is also read as a body from the agent: one that passes encodes back to itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "frames.h"

namespace {

using tessaly::nmhost::FrameReader;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "frames_fuzz: %s\n", what);
  std::abort();
}

// The body check of each frame, from the pass that reads the stream whole.
void checkAgentBody(std::string_view frame);

struct Outcome {
  std::string frames;  // every frame found, framed again (length in this machine's byte order, then payload)
  bool intact = true;
  bool midFrame = false;
  std::uint32_t declared = 0;
};

void appendFramed(std::string& out, std::string_view payload) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  out.append(reinterpret_cast<const char*>(&length), sizeof length).append(payload);
}

// Feeds `stream` in pieces whose sizes cycle through `pieces` (0 stands for the whole rest).
Outcome readAll(std::span<const std::uint8_t> stream, std::size_t limit, std::span<const std::size_t> pieces,
                bool checkBodies) {
  FrameReader reader(limit);
  Outcome outcome;
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size() && outcome.intact; ++i) {
    std::size_t piece = pieces[i % pieces.size()];
    if (piece == 0 || piece > stream.size() - at) piece = stream.size() - at;
    outcome.intact = reader.feed(stream.subspan(at, piece), [&](std::string_view payload) {
      appendFramed(outcome.frames, payload);
      if (checkBodies) checkAgentBody(payload);
    });
    at += piece;
  }
  outcome.midFrame = reader.midFrame();
  outcome.declared = reader.declaredLength();
  return outcome;
}

// The frame read as a body from the agent: one that passes must frame its payload back to itself.
void checkAgentBody(std::string_view frame) {
  // The frame's bytes in storage of exactly their size, so that a read past the body is seen.
  const std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[frame.size()]);
  if (!frame.empty()) std::memcpy(body.get(), frame.data(), frame.size());
  std::string why;
  const auto payload = tessaly::nmhost::browserPayload({body.get(), frame.size()}, why);
  if (!payload) {
    if (why.empty()) broken("a refused body without a reason");
    return;
  }
  const std::string_view json(reinterpret_cast<const char*>(payload->data()), payload->size());
  if (json.size() > tessaly::nmhost::kMaxMessageToBrowser) broken("a body over the browser's limit passed");
  if (tessaly::nmhost::agentBody(json) != frame) broken("a passed body does not frame its payload back to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t pieceSeed = data[0];
  // Small limits reach the refusal of a long frame; the largest choice is the browsers' own limit.
  const std::size_t limit = data[1] == 0xFF ? tessaly::nmhost::kMaxMessageFromBrowser : std::size_t{data[1]} * 4;
  const std::span<const std::uint8_t> stream(data + 2, size - 2);

  const std::size_t whole[] = {0};
  // Two small pieces (across headers) and a large one (whole frames in one read), in turn.
  const std::size_t cut[] = {pieceSeed % 7 + 1, pieceSeed / 7 % 5 + 1, pieceSeed / 35 * 512 + 3};
  const Outcome once = readAll(stream, limit, whole, true);
  const Outcome inPieces = readAll(stream, limit, cut, false);
  // (Once the reader has refused a length, whether it still holds that header depends on the cut; the host
  // ends there, so only an intact reader's midFrame() has to agree.)
  if (once.frames != inPieces.frames || once.intact != inPieces.intact ||
      (once.intact && once.midFrame != inPieces.midFrame) || once.declared != inPieces.declared) {
    broken("the frames depend on how the stream was cut");
  }

  const std::string& found = once.frames;
  const std::string_view given(reinterpret_cast<const char*>(stream.data()), stream.size());
  if (given.substr(0, found.size()) != found) broken("the frames are not the stream they came from");
  const std::size_t rest = given.size() - found.size();
  if (!once.intact) {
    if (once.declared <= limit || rest < 4) broken("the reader stopped without a length over the limit");
    std::uint32_t length = 0;
    std::memcpy(&length, given.data() + found.size(), sizeof length);
    if (length != once.declared) broken("the reader stopped at another frame than the one over the limit");
  } else if (once.midFrame != (rest != 0)) {
    broken("bytes left over without a frame in progress, or a frame in progress without bytes");
  }
  return 0;
}
