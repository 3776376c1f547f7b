// kestravo-bench-report OUTDIR: the markdown table from the samples the other programs wrote into
// OUTDIR, on stdout, and OUTDIR/restart.gp with its data files for the restart-latency plot.
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "bench_stats.h"

namespace {

using bench::ReadSamples;
using bench::Summarise;
using bench::Summary;

std::string g_dir;

std::string Fmt(const char* format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

// Milliseconds with a precision that suits them.
std::string Ms(double ms) {
  if (ms >= 100) return Fmt("%.0f ms", ms);
  if (ms >= 10) return Fmt("%.1f ms", ms);
  return Fmt("%.2f ms", ms);
}

std::string Bytes(double b) { return b >= 10240 ? Fmt("%.0f KiB", b / 1024) : Fmt("%.0f B", b); }

std::string Percent(double p) { return Fmt("%.3f %%", p); }

Summary Get(const std::string& name) { return Summarise(ReadSamples(g_dir, name)); }

// "median [min-max] (n runs)", the spread of repeated runs.
std::string Runs(const Summary& s, std::string (*unit)(double)) {
  if (s.count == 0) return "not measured";
  if (s.count == 1) return unit(s.median) + " (1 run)";
  return unit(s.median) + " [" + unit(s.min) + " – " + unit(s.max) + "] (" + std::to_string(s.count) + " runs)";
}

// "median, p99 p99, max max (n)" of a latency distribution.
std::string Latency(const Summary& s) {
  if (s.count == 0) return "not measured";
  return Ms(s.median) + ", p99 " + Ms(s.p99) + ", max " + Ms(s.max) + " (n=" + std::to_string(s.count) + ")";
}

const char* Met(bool met) { return met ? "**met**" : "**not met**"; }

struct Peer {
  const char* name;
  const char* setting;
  const char* label;
};

const Peer kPeers[] = {
    {"supervisord", "default", "supervisord, its defaults (startsecs=1, autorestart=unexpected)"},
    {"supervisord", "low", "supervisord, lowest delays (startsecs=0, autorestart=true)"},
    {"runit", "default", "runit runsv, its defaults (no setting shortens its 1 s pause)"},
    {"s6", "default", "s6-supervise, its defaults (no setting shortens its 1 s pause)"},
    {"daemontools", "default", "daemontools supervise, its defaults (no setting shortens its 1 s pause)"},
};

std::string PeerKey(const Peer& p) { return std::string("peer.") + p.name + "." + p.setting; }

// The empirical distribution of a sample file, for gnuplot.
bool WriteCdf(const std::string& samples, const std::string& file) {
  std::vector<double> values = ReadSamples(g_dir, samples);
  if (values.empty()) return false;
  std::sort(values.begin(), values.end());
  std::ofstream out(g_dir + "/" + file);
  for (size_t i = 0; i < values.size(); ++i) out << values[i] << ' ' << (i + 1.0) / values.size() << '\n';
  return true;
}

void WritePlot() {
  struct Series {
    std::string samples, title, style;
  };
  std::vector<Series> series = {
      {"restart.lib.1.child", "Kestravo, 1 child", "lc rgb '#000000' dt 1"},
      {"restart.lib.1024.child", "Kestravo, 1024 children", "lc rgb '#808080' dt 1"},
  };
  const char* colours[] = {"#1f77b4", "#17becf", "#d62728", "#2ca02c", "#ff7f0e"};
  size_t colour = 0;
  for (const Peer& p : kPeers) {
    std::string who = std::string(p.name) + (std::string(p.setting) == "low" ? " (lowest)" : "");
    std::string lc = std::string("lc rgb '") + colours[colour++ % 5] + "'";
    series.push_back({PeerKey(p) + ".restart.old", who + ", child 1.6 s old", lc + " dt 1"});
    series.push_back({PeerKey(p) + ".restart.young", who + ", child 0.2 s old", lc + " dt 2"});
  }
  std::string plots;
  for (size_t i = 0; i < series.size(); ++i) {
    std::string file = "cdf." + std::to_string(i) + ".dat";
    if (!WriteCdf(series[i].samples, file)) continue;
    if (!plots.empty()) plots += ", \\\n     ";
    plots += "'" + file + "' using 1:2 with steps lw 2 " + series[i].style + " title '" + series[i].title + "'";
  }
  std::ofstream gp(g_dir + "/restart.gp");
  gp << "set terminal pngcairo size 1400,800 font ',11'\n"
        "set output 'restart-latency.png'\n"
        "set title 'Restart latency after SIGKILL: time until the supervised child runs again (empirical distribution)'\n"
        "set xlabel 'milliseconds (log scale)'\n"
        "set ylabel 'share of kills restarted within x'\n"
        "set logscale x\nset xrange [0.5:3000]\nset yrange [0:1.02]\nset grid\n"
        "set key outside right top\n"
        "plot "
     << plots << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: kestravo-bench-report OUTDIR\n");
    return 2;
  }
  g_dir = argv[1];

  printf("### Kestravo against the raw limit\n\n");
  printf("| measure | Kestravo | raw posix_spawn + pidfd_open | Kestravo rate ÷ raw rate | target | |\n");
  printf("|---|---|---|---|---|---|\n");
  for (int n : {1, 64, 1024}) {
    Summary lib = Get("start.lib." + std::to_string(n)), raw = Get("start.raw." + std::to_string(n));
    double ratio = lib.median > 0 ? raw.median / lib.median : 0;
    std::string target = n == 64 ? "≥ 0.5" : n == 1024 ? "≥ 0.25" : "";
    std::string met = n == 64 ? Met(ratio >= 0.5) : n == 1024 ? Met(ratio >= 0.25) : "";
    printf("| start %d children, until all run | %s | %s | %.2f | %s | %s |\n", n, Runs(lib, Ms).c_str(),
           Runs(raw, Ms).c_str(), ratio, target.c_str(), met.c_str());
  }
  Summary fill = Get("statefile.fill"), start1024 = Get("start.lib.1024");
  if (fill.count > 0 && start1024.median > 0) {
    printf("| of which state file rewrites (1024 adds from empty, timed alone) | %s = %.0f %% of the start | | | | |\n",
           Ms(fill.median).c_str(), fill.median / start1024.median * 100);
  }
  for (int n : {1, 1024}) {
    std::string key = "restart.lib." + std::to_string(n);
    Summary message = Get(key + ".message"), pid = Get(key + ".pid");
    bool met = message.count > 0 && message.median <= 60 && message.p99 <= 120;
    printf("| restart after SIGKILL, %d %s managed: until MSG_RESTARTED | %s | | | median ≤ 60 ms, p99 ≤ 120 ms | %s |\n",
           n, n == 1 ? "child" : "children", Latency(message).c_str(), Met(met));
    printf("| … until KESTRAVO_GetOSPid answers the new pid | %s | | | | |\n", Latency(pid).c_str());
    printf("| … until the new child runs (as for the peers below) | %s | | | | |\n",
           Latency(Get(key + ".child")).c_str());
  }
  printf("| stop: KESTRAVO_DestroyProcess of a child that honours its stop event | %s | | | | |\n",
         Latency(Get("stop.lib")).c_str());
  Summary floor = Get("idle.floor");
  for (int n : {0, 64, 1024}) {
    Summary idle = Get("idle.lib." + std::to_string(n));
    double limit = n == 1024 ? 1.0 : 0.1;
    printf("| idle CPU of the host, %d children, 10 s windows | %s of one core | %s | | ≤ %s | %s |\n", n,
           Runs(idle, Percent).c_str(), n == 0 && floor.count > 0 ? ("a bare 10 ms sleep loop: " + Runs(floor, Percent)).c_str() : "",
           n == 1024 ? "1 %" : "0.1 %", Met(idle.count > 0 && idle.median <= limit));
  }
  Summary memory = Get("memory.lib");
  printf("| host memory per managed child, at 1024 (%s) | %s | | | ≤ 8 KiB | %s |\n",
         bench::ReadNote(g_dir, "memory.lib").c_str(), Runs(memory, Bytes).c_str(),
         Met(memory.count > 0 && memory.median <= 8192));
  Summary rewrite = Get("statefile.rewrite");
  printf("| one rewrite of a 1024-entry kestravo.xml | %s [p25 %s – p75 %s], p99 %s (n=%zu) | | | ≤ 5 ms | %s |\n",
         Ms(rewrite.median).c_str(), Ms(rewrite.p25).c_str(), Ms(rewrite.p75).c_str(), Ms(rewrite.p99).c_str(),
         rewrite.count, Met(rewrite.count > 0 && rewrite.median <= 5));

  printf("\n### Kestravo and the supervisors people use (64 children each)\n\n");
  printf("| supervisor | restart, child 1.6 s old | restart, child 0.2 s old | 64 children up | idle CPU, 64 children | memory per child |\n");
  printf("|---|---|---|---|---|---|\n");
  Summary libRestart = Get("restart.lib.1.child"), libStart = Get("start.lib.64"),
          libIdle = Get("idle.lib.64");
  printf("| Kestravo (1 child, killed at 50–250 ms of age: no delay at any age) | %s | %s | %s | %s | %s |\n",
         Latency(libRestart).c_str(), Latency(libRestart).c_str(), Runs(libStart, Ms).c_str(), Runs(libIdle, Percent).c_str(),
         Runs(memory, Bytes).c_str());
  for (const Peer& p : kPeers) {
    std::string key = PeerKey(p);
    std::string gaveUp = bench::ReadNote(g_dir, key + ".gaveup");
    printf("| %s%s | %s | %s | %s | %s | %s |\n", p.label, gaveUp.empty() ? "" : (" — " + gaveUp).c_str(),
           Latency(Get(key + ".restart.old")).c_str(), Latency(Get(key + ".restart.young")).c_str(),
           Runs(Get(key + ".start64"), Ms).c_str(), Runs(Get(key + ".idle64"), Percent).c_str(),
           Runs(Get(key + ".memory"), Bytes).c_str());
  }

  printf("\n### Peer ÷ Kestravo, medians (above 1: Kestravo is faster or leaner)\n\n");
  printf("| supervisor | restart, 1.6 s old | restart, 0.2 s old | 64 children up | idle CPU, 64 | memory per child |\n");
  printf("|---|---|---|---|---|---|\n");
  auto ratio = [](const Summary& peer, const Summary& lib) {
    return peer.count == 0 || lib.count == 0 || lib.median <= 0 ? std::string("–") : Fmt("%.2f", peer.median / lib.median);
  };
  for (const Peer& p : kPeers) {
    std::string key = PeerKey(p);
    printf("| %s (%s) | %s | %s | %s | %s | %s |\n", p.name, p.setting, ratio(Get(key + ".restart.old"), libRestart).c_str(),
           ratio(Get(key + ".restart.young"), libRestart).c_str(), ratio(Get(key + ".start64"), libStart).c_str(),
           ratio(Get(key + ".idle64"), libIdle).c_str(), ratio(Get(key + ".memory"), memory).c_str());
  }
  WritePlot();
  return 0;
}
