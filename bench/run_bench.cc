// Whole-run benchmark: kestol against an I/O floor of plain tools moving
// the same bytes, on a RAM-backed file system, and the peak resident
// memory of runs on a small and a large database.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Timed {
  double seconds;
  long max_rss_kib;
};

// Runs argv in dir with standard output and error discarded (or standard
// output sent to out_path); answers the wall time and the child's peak RSS.
Timed run(const std::string& dir, const std::vector<std::string>& argv, const std::string& out_path = "") {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int out = open(out_path.empty() ? "/dev/null" : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "run_bench: %s failed (status %d)\n", argv[0].c_str(), status);
    std::exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

void copy(const std::string& from, const std::string& to) {
  static char buffer[1 << 20];
  int in = open(from.c_str(), O_RDONLY);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ssize_t n;
  while ((n = read(in, buffer, sizeof buffer)) > 0) {
    if (write(out, buffer, static_cast<std::size_t>(n)) != n) std::exit(1);
  }
  close(in);
  close(out);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Site {
  std::string dir;
  std::string pristine;
};

Site make_site(const std::string& root, const std::string& wptool, long records) {
  Site site{root + "/site-" + std::to_string(records), ""};
  std::string wp = site.dir + "/data/wp";
  run("/", {"mkdir", "-p", wp});
  FILE* init = std::fopen((site.dir + "/init.srv").c_str(), "w");
  std::fputs("# benchmark site\n1\n2\n3\n4\ndata/\n", init);
  std::fclose(init);
  site.pristine = site.dir + "/pristine.wp";
  run(site.dir, {wptool, "gen", std::to_string(records), "1", std::to_string(std::time(nullptr))},
      site.pristine);
  return site;
}

// Lays the pristine database down again so every run starts alike.
void reset(const Site& site) {
  copy(site.pristine, site.dir + "/data/wp/wp.sys");
  unlink((site.dir + "/data/wp/mess.wp").c_str());
}

Timed run_kestol(const Site& site, const std::string& kestol) {
  reset(site);
  return run(site.dir, {kestol});
}

double run_floor(const Site& site) {
  reset(site);
  std::string sys = "data/wp/wp.sys";
  std::string old = "data/wp/wp.old";
  double a = run(site.dir, {"dd", "if=" + sys, "of=" + old, "bs=16k", "conv=fsync", "status=none"}).seconds;
  double b = run(site.dir, {"dd", "if=" + old, "of=" + sys, "bs=16k", "conv=fsync", "status=none"}).seconds;
  return a + b;
}

void bench_case(const char* name, const std::string& root, const std::string& kestol,
                const std::string& wptool, long records, int runs, double target) {
  Site site = make_site(root, wptool, records);
  run_kestol(site, kestol);  // warm the caches
  run_floor(site);
  std::vector<double> floor_times, tool_times;
  for (int i = 0; i < runs; ++i) {
    floor_times.push_back(run_floor(site));
    tool_times.push_back(run_kestol(site, kestol).seconds);
  }
  double f = median(floor_times), t = median(tool_times);
  std::printf("%s: %ld records (%.1f MB), %d runs each, alternating\n", name, records, records * 194 / 1e6,
              runs);
  std::printf("  floor (dd copy + rewrite, fsync)  median %8.2f ms\n", f * 1e3);
  std::printf("  kestol                            median %8.2f ms  ratio %.2f  (target <= %.1f) %s\n",
              t * 1e3, t / f, target, t / f <= target ? "met" : "MISSED");
  run("/", {"rm", "-rf", site.dir});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: run_bench KESTOL WPTOOL [RUNS]\n");
    return 2;
  }
  std::string kestol = argv[1], wptool = argv[2];
  int runs = argc > 3 ? std::max(5, std::atoi(argv[3])) : 7;
  struct stat st;
  bool shm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0;
  std::string base = shm ? "/dev/shm" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  std::string pattern = base + "/kestol-bench-XXXXXX";
  std::string root = mkdtemp(pattern.data());
  std::printf("file system: %s (%s)\n", base.c_str(),
              shm ? "RAM-backed" : "not RAM-backed: /dev/shm missing");

  bench_case("case 1", root, kestol, wptool, 60000, runs, 1.3);
  bench_case("case 2", root, kestol, wptool, 1000000, runs, 1.5);

  long rss[2];
  long sizes[2] = {10000, 1000000};
  for (int i = 0; i < 2; ++i) {
    Site site = make_site(root, wptool, sizes[i]);
    rss[i] = 0;
    for (int r = 0; r < 3; ++r) rss[i] = std::max(rss[i], run_kestol(site, kestol).max_rss_kib);
    run("/", {"rm", "-rf", site.dir});
  }
  double diff = 100.0 * std::abs(rss[1] - rss[0]) / static_cast<double>(rss[0]);
  bool met = diff <= 5.0 && rss[0] < 5 * 1024 && rss[1] < 5 * 1024;
  std::printf(
      "peak RSS: %ld KiB at 10000 records, %ld KiB at 1000000 records (%.1f%% apart; target within 5%%, "
      "under 5 MiB) %s\n",
      rss[0], rss[1], diff, met ? "met" : "MISSED");
  run("/", {"rm", "-rf", root});
  return 0;
}
