// A small coverage-guided fuzzing engine for compilers without libFuzzer.
//
// The code under test is compiled with -fsanitize-coverage=trace-pc, so every
// basic block calls __sanitizer_cov_trace_pc; we fold the (previous block,
// this block) pairs into an edge map, as AFL does, with hit counts rounded
// to power-of-two buckets. An input that lights a new (edge, bucket) pair
// joins the in-memory corpus and is mutated further.
//
// Command line, a subset of libFuzzer's so the same scripts drive both:
//   fuzz_x [flags] [corpus dirs or files]...
//     -max_total_time=S  stop after S seconds (0: no limit)
//     -runs=N            stop after N executions (-1: no limit)
//     -max_len=N         longest generated input (default 4096)
//     -seed=N            random seed (default: from the clock)
//     -timeout=S         one input running longer than S seconds is a defect
//     -dict=FILE         tokens, one per line, as "text" with \\ \" \xNN escapes
//     -artifact_prefix=P where the input of a crash, leak or timeout is written
// Inputs that add coverage are written into the first directory given, as
// libFuzzer does, so point it at a scratch copy of the seed corpus.
// With only files given (no directory), each is run once: a reproducer.
//
// Defects are left to the sanitizers, which end the process with their
// report; the death callback writes the input that caused it first.
// Threads: the code under test must stay on the calling thread while it
// runs (the edge map is not synchronised).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <sanitizer/common_interface_defs.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// 64 KiB of edge counters fits the L2 cache and keeps collisions rare for
// code of this size.
constexpr std::size_t kMapSize = 1 << 16;
std::array<std::uint8_t, kMapSize> g_edges{};
thread_local std::uintptr_t g_previous = 0;

}  // namespace

// Called on every basic block of the code under test: kept free of sanitizer
// checks, which would otherwise cost more than the block itself.
extern "C" __attribute__((no_sanitize("address", "undefined"))) void __sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  pc = (pc ^ (pc >> 16)) * 0x45d9f3b;
  const std::uintptr_t current = (pc ^ (pc >> 16)) & (kMapSize - 1);
  ++g_edges[current ^ g_previous];
  g_previous = current >> 1;
}

// ASan and UBSan defaults for every fuzz executable: an abort (an uncaught
// exception, a failed assert) is a defect like any other, and one huge
// allocation is reported instead of exhausting the machine.
extern "C" const char* __asan_default_options() {
  return "handle_abort=1:max_allocation_size_mb=2048:allocator_may_return_null=0:"
         "detect_leaks=1";
}
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Options {
  double max_total_time = 0;
  long long runs = -1;
  std::size_t max_len = 4096;
  std::uint64_t seed = 0;
  unsigned timeout = 60;
  std::string dict;
  std::string artifact_prefix = "./";
  std::vector<std::string> inputs;
};

// The input being run, for the death callback and the timeout handler.
const std::uint8_t* g_current = nullptr;
std::size_t g_current_size = 0;
char g_artifact_path[4096] = {};
char g_timeout_path[4096] = {};

// Async-signal-safe: used from the death callback and from SIGALRM.
void write_current_input(const char* path) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < g_current_size) {
    const ssize_t n = ::write(fd, g_current + done, g_current_size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  static constexpr char kNote[] = "\n==fuzz driver== input written to ";
  [[maybe_unused]] ssize_t ignored = ::write(2, kNote, sizeof kNote - 1);
  ignored = ::write(2, path, std::strlen(path));
  ignored = ::write(2, "\n", 1);
}

void on_death() {
  if (g_current != nullptr) write_current_input(g_artifact_path);
}

void on_alarm(int) {
  static constexpr char kNote[] = "\n==fuzz driver== ERROR: input ran past -timeout\n";
  [[maybe_unused]] ssize_t ignored = ::write(2, kNote, sizeof kNote - 1);
  if (g_current != nullptr) write_current_input(g_timeout_path);
  ::_exit(70);
}

std::uint64_t fnv1a(const Bytes& data) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::uint8_t b : data) h = (h ^ b) * 1099511628211ull;
  return h;
}

std::string hex64(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool read_file(const std::string& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  out.assign(s.begin(), s.end());
  return true;
}

std::vector<std::string> list_directory(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "/" + name;
      if (!is_directory(path)) names.push_back(path);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// AFL-style dictionary: one "token" per line, # comments, name= prefixes allowed.
std::vector<Bytes> load_dictionary(const std::string& path) {
  std::vector<Bytes> tokens;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto open = line.find('"');
    const auto close = line.rfind('"');
    if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
    Bytes token;
    for (std::size_t i = open + 1; i < close; ++i) {
      if (line[i] == '\\' && i + 1 < close) {
        const char next = line[i + 1];
        if (next == 'x' && i + 3 < close) {
          token.push_back(
              static_cast<std::uint8_t>(std::strtoul(line.substr(i + 2, 2).c_str(), nullptr, 16)));
          i += 3;
          continue;
        }
        token.push_back(static_cast<std::uint8_t>(next));
        ++i;
        continue;
      }
      token.push_back(static_cast<std::uint8_t>(line[i]));
    }
    if (!token.empty()) tokens.push_back(std::move(token));
  }
  return tokens;
}

class Engine {
 public:
  Engine(Options options, std::vector<Bytes> dictionary)
      : options_(std::move(options)), dictionary_(std::move(dictionary)), rng_(options_.seed) {}

  // Runs one input; true when it reached an (edge, bucket) never seen before.
  bool run(const Bytes& input) {
    g_edges.fill(0);
    g_previous = 0;
    // A copy of exactly the input's size, so reading past it is caught.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
    g_current = copy.get();
    g_current_size = input.size();
    if (options_.timeout > 0) ::alarm(options_.timeout);
    LLVMFuzzerTestOneInput(copy.get(), input.size());
    if (options_.timeout > 0) ::alarm(0);
    g_current = nullptr;
    ++executions_;

    return merge_coverage();
  }

  void add_to_corpus(Bytes input, bool save) {
    if (save && !output_dir_.empty()) {
      std::ofstream out(output_dir_ + "/" + hex64(fnv1a(input)), std::ios::binary);
      out.write(reinterpret_cast<const char*>(input.data()),
                static_cast<std::streamsize>(input.size()));
    }
    corpus_.push_back(std::move(input));
  }

  void set_output_dir(std::string dir) { output_dir_ = std::move(dir); }

  int fuzz(const std::vector<Bytes>& seeds) {
    for (const Bytes& seed : seeds) {
      const bool fresh = run(seed);
      if (fresh || corpus_.empty()) add_to_corpus(seed, false);
    }
    if (corpus_.empty()) add_to_corpus(Bytes{}, false);
    report("INITED");

    const auto start = std::chrono::steady_clock::now();
    auto next_report = start + std::chrono::seconds(5);
    while (options_.runs < 0 || static_cast<long long>(executions_) < options_.runs) {
      const auto now = std::chrono::steady_clock::now();
      if (options_.max_total_time > 0 &&
          std::chrono::duration<double>(now - start).count() >= options_.max_total_time) {
        break;
      }
      if (now >= next_report) {
        report("pulse");
        next_report = now + std::chrono::seconds(5);
      }
      Bytes input = corpus_[pick(corpus_.size())];
      const int rounds = 1 + static_cast<int>(pick(8));
      for (int i = 0; i < rounds; ++i) mutate(input);
      if (input.size() > options_.max_len) input.resize(options_.max_len);
      if (run(input)) {
        add_to_corpus(std::move(input), true);
        report("NEW");
      }
    }
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report("DONE");
    return 0;
  }

 private:
  // Folds this run's edges into what was seen; true when anything was new.
  // Most of the map is zero, so it is walked a word at a time.
  __attribute__((no_sanitize("address", "undefined"))) bool merge_coverage() {
    bool fresh = false;
    for (std::size_t w = 0; w < kMapSize; w += sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, g_edges.data() + w, sizeof word);
      if (word == 0) continue;
      for (std::size_t i = w; i < w + sizeof word; ++i) {
        if (g_edges[i] == 0) continue;
        const std::uint8_t bucket = bucket_of(g_edges[i]);
        if ((seen_[i] & bucket) == 0) {
          if (seen_[i] == 0) ++edges_;
          seen_[i] |= bucket;
          fresh = true;
        }
      }
    }
    return fresh;
  }

  static std::uint8_t bucket_of(std::uint8_t hits) {
    if (hits <= 3) return static_cast<std::uint8_t>(1u << (hits - 1));  // 1, 2, 4
    if (hits <= 7) return 8;
    if (hits <= 15) return 16;
    if (hits <= 31) return 32;
    if (hits <= 127) return 64;
    return 128;
  }

  std::size_t pick(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng_() % n); }

  void report(const char* what) {
    const double elapsed =
        seconds_ > 0
            ? seconds_
            : std::chrono::duration<double>(std::chrono::steady_clock::now() - born_).count();
    const double rate = elapsed > 0 ? static_cast<double>(executions_) / elapsed : 0;
    std::fprintf(stderr, "#%llu\t%s cov: %zu corp: %zu exec/s: %.0f\n",
                 static_cast<unsigned long long>(executions_), what, edges_, corpus_.size(), rate);
  }

  void mutate(Bytes& data) {
    static constexpr std::uint8_t kInteresting[] = {
        0,   1,   0x7f, 0x80, 0xff, 0xfe, 0x20, '"',  '\\', '{',  '}',  '[',  ']',  ':',
        ',', '0', '9',  '-',  '.',  'e',  '\n', 0xc0, 0xe0, 0xed, 0xf0, 0xf4, 0xf8, '='};
    static constexpr const char* kNumbers[] = {"0",
                                               "-1",
                                               "1",
                                               "127",
                                               "128",
                                               "255",
                                               "4096",
                                               "4097",
                                               "8192",
                                               "8193",
                                               "65535",
                                               "65536",
                                               "4294967295",
                                               "4294967296",
                                               "1e400",
                                               "-0",
                                               "1.5",
                                               "18446744073709551615",
                                               "18446744073709551616",
                                               "-9223372036854775809"};
    const std::size_t size = data.size();
    switch (pick(12)) {
      case 0:  // flip one bit
        if (size > 0) data[pick(size)] ^= static_cast<std::uint8_t>(1u << pick(8));
        break;
      case 1:  // random byte
        if (size > 0) data[pick(size)] = static_cast<std::uint8_t>(rng_());
        break;
      case 2:  // interesting byte
        if (size > 0) data[pick(size)] = kInteresting[pick(sizeof kInteresting)];
        break;
      case 3: {  // insert a few random or interesting bytes
        const std::size_t at = pick(size + 1);
        const std::size_t n = 1 + pick(4);
        for (std::size_t i = 0; i < n; ++i) {
          const std::uint8_t b =
              pick(2) ? kInteresting[pick(sizeof kInteresting)] : static_cast<std::uint8_t>(rng_());
          data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), b);
        }
        break;
      }
      case 4: {  // erase a range
        if (size == 0) break;
        const std::size_t at = pick(size);
        const std::size_t n = 1 + pick(std::min<std::size_t>(size - at, 16));
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
        break;
      }
      case 5: {  // duplicate a range in place (builds nesting and repetition)
        if (size == 0) break;
        const std::size_t at = pick(size);
        const std::size_t n = 1 + pick(std::min<std::size_t>(size - at, 64));
        const Bytes piece(data.begin() + static_cast<std::ptrdiff_t>(at),
                          data.begin() + static_cast<std::ptrdiff_t>(at + n));
        const std::size_t times = 1 + pick(pick(4) == 0 ? 64 : 4);
        for (std::size_t i = 0; i < times && data.size() + piece.size() <= options_.max_len; ++i) {
          data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
        }
        break;
      }
      case 6:
      case 7: {  // dictionary token, inserted or overwriting
        if (dictionary_.empty()) break;
        const Bytes& token = dictionary_[pick(dictionary_.size())];
        const std::size_t at = pick(size + 1);
        if (pick(2) == 0 || at + token.size() > size) {
          data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), token.begin(), token.end());
        } else {
          std::copy(token.begin(), token.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
        }
        break;
      }
      case 8: {  // a number where a digit run is
        const std::string_view number = kNumbers[pick(std::size(kNumbers))];
        std::size_t at = pick(size + 1);
        std::size_t end = at;
        while (end < size && ((data[end] >= '0' && data[end] <= '9') || data[end] == '-')) ++end;
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(end));
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), number.begin(), number.end());
        break;
      }
      case 9: {  // splice with another corpus entry
        const Bytes& other = corpus_[pick(corpus_.size())];
        if (other.empty()) break;
        const std::size_t cut = pick(size + 1);
        const std::size_t from = pick(other.size());
        data.resize(cut);
        data.insert(data.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
      case 10: {  // overwrite a 32-bit field with a boundary value, either byte order
        if (size < 4) break;
        static constexpr std::uint32_t kWords[] = {
            0,    1,       12,      13,         64,         4096,       4097, 8192,
            8193, 1048576, 1048577, 0x7fffffff, 0xffffffff, 0x80000000, 4032, 4033};
        const std::uint32_t w = kWords[pick(std::size(kWords))];
        const std::size_t at = pick(size - 3);
        for (int i = 0; i < 4; ++i) {
          const int shift = pick(2) ? 8 * i : 8 * (3 - i);
          data[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(w >> shift);
        }
        break;
      }
      default: {  // swap two bytes
        if (size < 2) break;
        std::swap(data[pick(size)], data[pick(size)]);
        break;
      }
    }
  }

  Options options_;
  std::vector<Bytes> dictionary_;
  std::mt19937_64 rng_;
  std::vector<Bytes> corpus_;
  std::array<std::uint8_t, kMapSize> seen_{};
  std::size_t edges_ = 0;
  std::uint64_t executions_ = 0;
  double seconds_ = 0;
  std::string output_dir_;
  std::chrono::steady_clock::time_point born_ = std::chrono::steady_clock::now();
};

bool flag(std::string_view arg, std::string_view name, std::string& value) {
  if (!arg.starts_with(name)) return false;
  value = std::string(arg.substr(name.size()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

  Options options;
  options.seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string value;
    if (flag(arg, "-max_total_time=", value)) {
      options.max_total_time = std::atof(value.c_str());
    } else if (flag(arg, "-runs=", value)) {
      options.runs = std::atoll(value.c_str());
    } else if (flag(arg, "-max_len=", value)) {
      options.max_len = static_cast<std::size_t>(std::atoll(value.c_str()));
    } else if (flag(arg, "-seed=", value)) {
      options.seed = static_cast<std::uint64_t>(std::atoll(value.c_str()));
    } else if (flag(arg, "-timeout=", value)) {
      options.timeout = static_cast<unsigned>(std::atoi(value.c_str()));
    } else if (flag(arg, "-dict=", value)) {
      options.dict = value;
    } else if (flag(arg, "-artifact_prefix=", value)) {
      options.artifact_prefix = value;
    } else if (arg.starts_with("-")) {
      std::fprintf(stderr, "==fuzz driver== ignoring unknown flag %s\n", argv[i]);
    } else {
      options.inputs.emplace_back(arg);
    }
  }
  std::fprintf(stderr, "==fuzz driver== seed %llu\n",
               static_cast<unsigned long long>(options.seed));

  std::snprintf(g_artifact_path, sizeof g_artifact_path, "%scrash-input",
                options.artifact_prefix.c_str());
  std::snprintf(g_timeout_path, sizeof g_timeout_path, "%stimeout-input",
                options.artifact_prefix.c_str());
  __sanitizer_set_death_callback(on_death);
  struct sigaction alarm_action {};
  alarm_action.sa_handler = on_alarm;
  ::sigaction(SIGALRM, &alarm_action, nullptr);

  std::vector<Bytes> seeds;
  std::string output_dir;
  bool any_directory = false;
  for (const std::string& input : options.inputs) {
    std::vector<std::string> files;
    if (is_directory(input)) {
      if (!any_directory) output_dir = input;
      any_directory = true;
      files = list_directory(input);
    } else {
      files.push_back(input);
    }
    for (const std::string& file : files) {
      Bytes data;
      if (!read_file(file, data)) {
        std::fprintf(stderr, "==fuzz driver== cannot read %s\n", file.c_str());
        return 1;
      }
      if (data.size() > options.max_len) data.resize(options.max_len);
      seeds.push_back(std::move(data));
    }
  }

  std::vector<Bytes> dictionary;
  if (!options.dict.empty()) dictionary = load_dictionary(options.dict);
  Engine engine(options, std::move(dictionary));

  if (!options.inputs.empty() && !any_directory) {
    // Reproducer mode: run the given files once each.
    for (const Bytes& seed : seeds) engine.run(seed);
    std::fprintf(stderr, "==fuzz driver== ran %zu inputs\n", seeds.size());
    return 0;
  }
  engine.set_output_dir(output_dir);
  return engine.fuzz(seeds);
}
