// Figures for wire decoding, printed, never asserted:
//   request   decode_request of a put carrying a ~200-byte document
//   response  decode_response of a page of 100 such documents
//   document  parse_json of the document alone, as stored documents are read
//
// Usage: decode_bench [rounds]   (default 200,000 requests; responses 1/100)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "document/json.h"
#include "server/protocol.h"

namespace tovik::server {
namespace {

using Clock = std::chrono::steady_clock;

Json document(int n) {
  const std::string id = "customer-" + std::to_string(n);
  return Json{{"id", id},
              {"name", "customer " + id},
              {"status", "active"},
              {"tags", {"alpha", "beta", "gamma"}},
              {"total", 1234.5},
              {"n", 7},
              {"note", std::string(90, 'x')}};
}

// Median over five runs of `rounds` calls, in nanoseconds per call.
template <typename Run>
double per_call(int rounds, Run&& run) {
  std::vector<double> samples;
  for (int sample = 0; sample < 5; ++sample) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) run();
    samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                      rounds);
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

void die(const char* what) {
  std::fprintf(stderr, "decode_bench: %s\n", what);
  std::exit(1);
}

}  // namespace
}  // namespace tovik::server

int main(int argc, char** argv) {
  using namespace tovik::server;
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200'000;
  const std::string request = encode_request(Put{"customer-1", document(1)});
  tovik::Json documents = tovik::Json::array();
  for (int i = 0; i < 100; ++i) documents.push_back(document(i));
  const std::string response = encode_response(success(tovik::Json{{"documents", documents}}));

  const double request_ns = per_call(rounds, [&] {
    if (!decode_request(request)) die("request refused");
  });
  std::printf("request   %6zu bytes  %8.0f ns per decode\n", request.size(), request_ns);
  const double response_ns = per_call(std::max(1, rounds / 100), [&] {
    if (!decode_response(response)) die("response refused");
  });
  std::printf("response  %6zu bytes  %8.0f ns per decode\n", response.size(), response_ns);
  const std::string stored = tovik::dump_compact(document(1));
  const double document_ns = per_call(rounds, [&] {
    if (!tovik::parse_json(stored)) die("document refused");
  });
  std::printf("document  %6zu bytes  %8.0f ns per parse\n", stored.size(), document_ns);
  return 0;
}
