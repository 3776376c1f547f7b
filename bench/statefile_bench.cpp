// kestravo-bench-statefile OUTDIR [REPS]: the state file store on its own. Fills it with 1024
// entries, then times single rewrites of the full file.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "state/kestravo_config.h"

namespace {

// The store with its file in a directory of our choosing.
class BenchConfig : public CKestravoConfig {
 public:
  explicit BenchConfig(std::string dir) : dir_(std::move(dir)) {}
  std::string GetModuleDir() override { return dir_; }

 private:
  std::string dir_;
};

ProcConfig Entry(uint32_t hpid) {
  char guid[64];
  snprintf(guid, sizeof guid, "{%08X-%04X-4%03x-%02X%02X-%012X}", 0x6A1F0C3Eu + hpid, hpid & 0xFFFF, hpid & 0xFFF,
           0x8E, 0x21, hpid * 7919u);
  ProcConfig config;
  config.hpid = hpid;
  config.pid = 400000 + hpid;
  config.exe = "/opt/example/services/bin/worker";
  config.cmdline = std::string("--queue jobs kestravCmdLine:;pid=") + std::to_string(hpid) + ";guid=" + guid;
  config.guid = guid;
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: kestravo-bench-statefile OUTDIR [REPS]\n");
    return 2;
  }
  std::string out = argv[1];
  int reps = argc > 2 ? atoi(argv[2]) : 200;
  std::string dir = out + "/statefile";
  mkdir(dir.c_str(), 0700);
  // An empty store to start from (a missing file would be logged as a failed load).
  {
    std::ofstream empty(dir + "/kestravo.xml", std::ios::trunc);
    empty << "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<kestravo />\n";
  }

  BenchConfig config(dir);
  config.SetSink(nullptr);  // sets the file's path and loads the empty store
  std::vector<ProcConfig> entries;
  for (uint32_t hpid = 0; hpid < 1024; ++hpid) entries.push_back(Entry(hpid));

  for (const ProcConfig& entry : entries) config.AddNewProcConfig(entry);

  std::vector<double> rewrites;
  for (int i = 0; i < reps; ++i) {
    ProcConfig entry = entries[static_cast<size_t>(i) % entries.size()];
    entry.pid += 1;
    double before = bench::Now();
    if (!config.AddNewProcConfig(entry)) {
      fprintf(stderr, "kestravo-bench-statefile: the file could not be written\n");
      return 1;
    }
    rewrites.push_back((bench::Now() - before) * 1000);
  }
  bench::WriteSamples(out, "statefile.rewrite", rewrites);
  auto s = bench::Summarise(rewrites);
  bench::Progress("state file: one rewrite at 1024 entries median %.3f ms, p99 %.3f ms", s.median, s.p99);
  return 0;
}
