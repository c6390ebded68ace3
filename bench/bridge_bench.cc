// fetch round trips through the bridge next to a bare connect/send/receive/close
// loop on the same socket and host, in the same run. The last line gives the
// bridge's time per call as a multiple of the bare loop's.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "extension/bridge/host_bridge.h"
#include "extension/testing/temp_container.h"
#include "extension/testing/test_host.h"
#include "fileprovider/scoped_fd.h"

namespace {

using pellora::testing::TempContainer;
using pellora::testing::TestHost;

constexpr const char* kReply = "{\"ok\":true,\"path\":\"/tmp/pellora-bench/contents\"}\n";

void fetchThroughBridge(benchmark::State& state) {
  for (auto _ : state) {
    auto path = pellora::HostBridge::fetch("primary", "01HXBENCH0000000000000000");
    if (!path.ok()) {
      state.SkipWithError(pellora::describe(path.error()).c_str());
      break;
    }
    benchmark::DoNotOptimize(path);
  }
}

// The same exchange with nothing but the system calls.
void bareExchange(benchmark::State& state, const std::string& socketPath) {
  const std::string request =
      "{\"op\":\"fetch\",\"account\":\"primary\",\"ulid\":\"01HXBENCH0000000000000000\"}\n";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  for (auto _ : state) {
    fp::ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
      state.SkipWithError("bare exchange failed");
      break;
    }
    std::string reply;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(n));
      if (reply.back() == '\n') break;
    }
    benchmark::DoNotOptimize(reply);
  }
}

// Prints the usual table, then the ratio of the two benchmarks' real times per
// call (the medians, when --benchmark_repetitions asks for several runs).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration) {
        times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
      } else if (run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double bridge = median("BM_FetchThroughBridge");
    const double bare = median("BM_BareExchange");
    if (bridge > 0 && bare > 0) std::printf("bridge / bare: %.3f\n", bridge / bare);
  }

 private:
  double median(const std::string& name) {
    if (auto it = medians_.find(name); it != medians_.end()) return it->second;
    auto& v = times_[name];
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  TempContainer container;
  TestHost host(container);
  host.respond([](const nlohmann::json&) { return std::string(kReply); });
  const std::string socketPath = host.socketPath().string();

  benchmark::RegisterBenchmark("BM_BareExchange", [&](benchmark::State& state) {
    bareExchange(state, socketPath);
  })->UseRealTime();
  benchmark::RegisterBenchmark("BM_FetchThroughBridge", fetchThroughBridge)->UseRealTime();

  // The test host slows down a little with every connection it has served, so
  // the two loops take turns (random interleaving over repetitions) unless the
  // command line says otherwise; each then sees the same host.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::string repetitions = "--benchmark_repetitions=12";
  std::string minTime = "--benchmark_min_time=0.1";
  auto given = [&](std::string_view flag) {
    return std::any_of(args.begin() + 1, args.end(),
                       [&](const char* a) { return std::string_view(a).starts_with(flag); });
  };
  if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleave.data());
  if (!given("--benchmark_repetitions")) args.push_back(repetitions.data());
  if (!given("--benchmark_min_time")) args.push_back(minTime.data());
  argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
