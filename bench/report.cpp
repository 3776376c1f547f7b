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
  if (ms >= 10000) return Fmt("%.1f s", ms / 1000);
  if (ms >= 1000) return Fmt("%.2f s", ms / 1000);
  if (ms >= 100) return Fmt("%.0f ms", ms);
  if (ms >= 10) return Fmt("%.1f ms", ms);
  return Fmt("%.2f ms", ms);
}

std::string Bytes(double b) { return b >= 10240 ? Fmt("%.0f KiB", b / 1024) : Fmt("%.0f B", b); }

std::string Percent(double p) { return Fmt("%.4f %%", p); }


Summary Get(const std::string& name) { return Summarise(ReadSamples(g_dir, name)); }

// The restart samples <key>.<what> whose child had run a second or more at the kill, the class
// restarted at once; <key>.age gives each sample's age in ms.
std::vector<double> Restarts(const std::string& key, const std::string& what) {
  std::vector<double> values = ReadSamples(g_dir, key + "." + what), ages = ReadSamples(g_dir, key + ".age"), picked;
  for (size_t i = 0; i < values.size() && i < ages.size(); ++i) {
    if (ages[i] >= 1000) picked.push_back(values[i]);
  }
  return picked;
}

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

// The empirical distribution of samples, for gnuplot.
bool WriteCdf(std::vector<double> values, const std::string& file) {
  if (values.empty()) return false;
  std::sort(values.begin(), values.end());
  std::ofstream out(g_dir + "/" + file);
  for (size_t i = 0; i < values.size(); ++i) out << values[i] << ' ' << (i + 1.0) / values.size() << '\n';
  return true;
}

void WritePlot() {
  struct Series {
    std::vector<double> samples;
    std::string title, style;
  };
  std::vector<Series> series = {
      {Restarts("restart.lib.1", "child"), "Kestravo, 1 child, child ≥ 1 s old", "lc rgb '#000000' dt 1"},
      {Restarts("restart.lib.1024", "child"), "Kestravo, 1024 children, child ≥ 1 s old", "lc rgb '#808080' dt 1"},
  };
  const char* colours[] = {"#1f77b4", "#17becf", "#d62728", "#2ca02c", "#ff7f0e"};
  size_t colour = 0;
  for (const Peer& p : kPeers) {
    std::string who = std::string(p.name) + (std::string(p.setting) == "low" ? " (lowest)" : "");
    std::string lc = std::string("lc rgb '") + colours[colour++ % 5] + "'";
    series.push_back({ReadSamples(g_dir, PeerKey(p) + ".restart.old"), who + ", child 1.6 s old", lc + " dt 1"});
    series.push_back({ReadSamples(g_dir, PeerKey(p) + ".restart.young"), who + ", child 0.2 s old", lc + " dt 2"});
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

// The fastest peer's median restart of a child that ran 1.6 s; 0 when no peer was measured.
double FastestPeerRestart(std::string* who) {
  double best = 0;
  for (const Peer& p : kPeers) {
    Summary s = Get(PeerKey(p) + ".restart.old");
    if (s.count > 0 && (best == 0 || s.median < best)) {
      best = s.median;
      *who = std::string(p.name) + " (" + p.setting + ")";
    }
  }
  return best;
}

void PrintRestartRows(double fastestPeer, const std::string& fastestWho) {
  for (int n : {1, 1024}) {
    std::string key = "restart.lib." + std::to_string(n);
    const char* managed = n == 1 ? "1 child managed" : "1024 children managed";
    Summary child = Summarise(Restarts(key, "child"));
    std::string target = "p99 ≤ 5 ms, median ≤ 0.8 × fastest peer's (" +
                         (fastestPeer > 0 ? fastestWho + ": " + Ms(fastestPeer) : std::string("no peer measured")) + ")";
    std::string met = Met(child.count > 0 && child.p99 <= 5 && fastestPeer > 0 && child.median <= 0.8 * fastestPeer);
    printf("| restart after SIGKILL of a child a second or more after its start (1.0–1.2 s, or long running), %s: "
           "until the new child runs | %s | | | %s | %s |\n",
           managed, Latency(child).c_str(), target.c_str(), met.c_str());
    printf("| … until MSG_RESTARTED | %s | | | | |\n", Latency(Summarise(Restarts(key, "message"))).c_str());
    printf("| … until KESTRAVO_GetOSPid answers the new pid | %s | | | | |\n",
           Latency(Summarise(Restarts(key, "pid"))).c_str());
    // The same child killed, seen ended through its pidfd, reaped and started again by clone3
    // into its cgroup, with as many children's pidfds held: what no supervisor can beat.
    Summary floor = Get("restart.floor." + std::to_string(n));
    bool measured = floor.count > 0 && child.count > 0;
    printf("| … the floor: the same child killed, its end seen through its pidfd, reaped, started again by clone3 "
           "into its cgroup until it runs, %s | %s | | | Kestravo ÷ floor (medians) ≤ 1.5: %s | %s |\n",
           n == 1 ? "1 child" : "1024 children's pidfds held", Latency(floor).c_str(),
           measured ? Fmt("%.2f", child.median / floor.median).c_str() : "not measured",
           Met(measured && child.median <= 1.5 * floor.median));
  }
}

// The last KESTRAVO_Uninit of <n> children of a kind, and whether every one had ended with it.
void PrintUninitRow(const std::string& kind, int n, const char* label, double limitMs, const char* limitText) {
  std::string key = "uninit.lib." + kind + "." + std::to_string(n);
  Summary took = Get(key), running = Get(key + ".running"), unreaped = Get(key + ".unreaped");
  std::string note = bench::ReadNote(g_dir, key);
  std::string cell = took.count == 0 ? (note.empty() ? "not measured" : note) : Runs(took, Ms);
  if (took.count > 0) {
    cell += running.max > 0 ? Fmt("; up to %.0f children still ran after it", running.max) : "; none still ran after it";
    if (unreaped.max > 0) cell += Fmt(", up to %.0f were left unreaped", unreaped.max);
  }
  std::string target = limitMs > 0 ? std::string("≤ ") + limitText + ", none left" : "";
  std::string met = limitMs > 0 ? Met(took.count > 0 && took.median <= limitMs && running.max == 0 && unreaped.max == 0) : "";
  printf("| last KESTRAVO_Uninit of %d children that %s | %s | | | %s | %s |\n", n, label, cell.c_str(), target.c_str(),
         met.c_str());
}

// Where the library's starts spent their time, from its own timers (a library built with
// KESTRAVO_START_PHASES): sums over the run's starts, on whichever thread did the work, so the
// phases of different threads overlap one another and the wall time.
void PrintStartPhases() {
  struct Phase {
    const char* label;
    const char* floor = nullptr;  // the start floor's own time for the same work, or null
  };
  const Phase phases[] = {
      {"launcher queue wait (from the create until the launcher takes the start; overlaps the rest)"},
      {"stop event made (creating thread)"},
      {"notify channel opened (creating thread)"},
      {"cgroup made and opened (launcher)", "cgroup"},
      {"spawn: clone3 until the child's exec (launcher)", "spawn"},
      {"record kept and start reported (launcher)"},
      {"state file: entry and rewrites (launcher)"},
      {"guard registration: notify watch and running guard told (launcher)"},
      {"running guard's passes over the table (its own thread)"},
      {"the launcher's start tasks in all, the launcher's phases above included"},
  };
  bool any = false;
  for (size_t i = 0; i < sizeof phases / sizeof phases[0]; ++i) {
    std::string cells;
    for (int n : {1, 1024}) {
      const std::string key = "phases." + std::to_string(n) + "." + std::to_string(i);
      Summary ms = Get(key), count = Get(key + ".count");
      if (ms.count == 0) continue;
      any = true;
      if (!cells.empty()) cells += "; ";
      Summary floor = phases[i].floor == nullptr ? Summary()
                                                 : Get("floorphases." + std::to_string(n) + "." + phases[i].floor);
      if (n == 1) {
        cells += "1 start: " + Ms(ms.median) + (floor.count > 0 ? " (the floor's: " + Ms(floor.median) + ")" : "");
      } else if (i == 0) {
        cells += std::to_string(n) + " starts: " + Ms(ms.median / n) + " on average";
      } else {
        cells += std::to_string(n) + " starts: " + Ms(ms.median) + " in all, " + Fmt("%.0f µs", ms.median * 1000 / n) +
                 " a start" + (count.median > 0 && count.median != n ? Fmt(" (%.0f times)", count.median) : "") +
                 (floor.count > 0 ? Fmt(" (the floor's: %.0f µs a start)", floor.median * 1000 / n) : "");
      }
    }
    if (cells.empty()) continue;
    printf("| … of which %s | %s | | | | |\n", phases[i].label, cells.c_str());
  }
  if (!any) printf("| … where a start spends its time | not measured (a library built without KESTRAVO_START_PHASES) | | | | |\n");
}

// Where the machine's CPU went during the start rows, per start: a 2-core machine that runs out
// of idle time cannot start faster, whoever waits for what.
void PrintStartCpu() {
  for (int n : {64, 1024}) {
    std::string cells;
    for (const char* who : {"lib", "floor", "raw"}) {
      const std::string key = std::string("cpu.") + who + "." + std::to_string(n);
      Summary host = Get(key + ".host"), children = Get(key + ".children"), idle = Get(key + ".idle");
      if (host.count == 0) continue;
      if (!cells.empty()) cells += "; ";
      cells += std::string(who[0] == 'l' ? "Kestravo" : who[0] == 'f' ? "floor" : "raw loop") +
               Fmt(": host %.0f", host.median) + Fmt(", children %.0f", children.median) + Fmt(", idle %.0f", idle.median);
    }
    if (cells.empty()) continue;
    printf("| … CPU per start while %d start, µs (host: this process, the library's threads included; children: "
           "theirs until a moment after they run, before exec included; idle: left over on all cores) | %s | | | | |\n",
           n, cells.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: kestravo-bench-report OUTDIR\n");
    return 2;
  }
  g_dir = argv[1];

  std::string fastestWho;
  double fastestPeer = FastestPeerRestart(&fastestWho);

  printf("### Kestravo against the raw limit\n\n");
  printf("| measure | Kestravo | raw posix_spawn + pidfd_open | Kestravo rate ÷ raw rate | target | |\n");
  printf("|---|---|---|---|---|---|\n");
  const std::string floorVariant = bench::ReadNote(g_dir, "start.floor");
  for (int n : {1, 64, 1024}) {
    Summary lib = Get("start.lib." + std::to_string(n)), raw = Get("start.raw." + std::to_string(n)),
            floor = Get("start.floor." + std::to_string(n));
    double ratio = lib.median > 0 ? raw.median / lib.median : 0;
    bool targeted = n != 1;
    printf("| start %d %s, until all run | %s | %s | %.2f | %s | %s |\n", n, n == 1 ? "child" : "children",
           Runs(lib, Ms).c_str(), Runs(raw, Ms).c_str(), ratio, targeted ? "≥ 0.85" : "", targeted ? Met(lib.count > 0 && ratio >= 0.85) : "");
    // The same child started as the library starts one, with nothing around it: the rate no
    // supervisor that gives each child a cgroup of its own can beat.
    bool measured = floor.count > 0 && lib.count > 0;
    std::string cell = measured ? Fmt("%.2f", floor.median / lib.median) : std::string("not measured");
    std::string target = n == 1 ? "Kestravo ≤ 1.3 × floor (medians): " + (measured ? Fmt("%.2f", lib.median / floor.median) : cell)
                                : "Kestravo rate ÷ floor rate ≥ 0.9: " + cell;
    printf("| … the start floor (%s), the same %s until all run | %s | | | %s | %s |\n",
           floorVariant.empty() ? "not measured" : floorVariant.c_str(), n == 1 ? "child" : "children", Runs(floor, Ms).c_str(),
           target.c_str(), Met(measured && (n == 1 ? lib.median <= 1.3 * floor.median : floor.median >= 0.9 * lib.median)));
  }
  PrintStartPhases();
  PrintStartCpu();
  PrintRestartRows(fastestPeer, fastestWho);
  std::string gaps;
  for (double gap : ReadSamples(g_dir, "crash.lib.gaps")) gaps += (gaps.empty() ? "" : ", ") + Ms(gap);
  Summary crashCpu = Get("crash.lib.cpu");
  printf("| a child that exits right after its start: gaps between its first restarts (MSG_RESTARTED) | %s | | | | |\n",
         gaps.empty() ? "not measured" : gaps.c_str());
  printf("| … CPU of the host meanwhile, %% of one core | %s | | | ≤ 2 %% | %s |\n", Runs(crashCpu, Percent).c_str(),
         Met(crashCpu.count > 0 && crashCpu.median <= 2));
  Summary stop = Get("stop.lib");
  printf("| stop: KESTRAVO_DestroyProcess of a child that honours its stop event | %s | | | median ≤ 1 ms | %s |\n",
         Latency(stop).c_str(), Met(stop.count > 0 && stop.median <= 1));
  // A stop in hand holds up no restart: the ordinary restart's target.
  Summary graceRestart = Summarise(Restarts("restart.lib.grace", "child"));
  printf("| restart after SIGKILL of a child a second or more after its start, while another child's destroy waits out "
         "its grace: until the new child runs | %s | | | p99 ≤ 5 ms, median ≤ 0.8 × fastest peer's | %s |\n",
         Latency(graceRestart).c_str(),
         Met(graceRestart.count > 0 && graceRestart.p99 <= 5 && fastestPeer > 0 && graceRestart.median <= 0.8 * fastestPeer));
  for (int threads : {8, 64}) {
    Summary gone = Get("destroy.parallel." + std::to_string(threads));
    printf("| 64 children that ignore their stop event, destroyed from %d threads with a 1 s grace%s, all gone within | "
           "%s | | | ≤ 1.5 s | %s |\n",
           threads, threads == 8 ? " (each thread's 8 calls one after another)" : " (one each)", Runs(gone, Ms).c_str(),
           Met(gone.count > 0 && gone.median <= 1500));
  }
  PrintUninitRow("honour", 1024, "honour their stop event", 500, "0.5 s");
  PrintUninitRow("ignore", 16, "ignore their stop event (the probe that decides whether 1024 run)", 0, "");
  PrintUninitRow("ignore", 1024, "ignore their stop event", 2000, "2 s");
  for (int n : {0, 64, 1024}) {
    Summary idle = Get("idle.lib." + std::to_string(n));
    double limit = n == 1024 ? 0.05 : 0.01;
    printf("| idle CPU of the host, %d children, %% of one core | %s | | | ≤ %s %% | %s |\n", n, Runs(idle, Percent).c_str(),
           n == 1024 ? "0.05" : "0.01", Met(idle.count > 0 && idle.median <= limit));
  }
  // With watchdogs set: every ping costs the host a wake-up; with none due it must not wake at all.
  // A child whose watchdog ran out during a window puts a restart into the figure: not met then.
  for (bool pinging : {true, false}) {
    std::string key = pinging ? "watchdog.lib.ping.1024" : "idle.lib.watchdog.1024";
    Summary cpu = Get(key), restarts = Get(key + ".restarts");
    std::string cell = Runs(cpu, Percent) + (restarts.max > 0 ? Fmt("; %.0f watchdog restarts meanwhile", restarts.max) : "");
    printf("| %s, %% of one core | %s | | | %s | %s |\n",
           pinging ? "CPU of the host, 1024 children each pinging its watchdog (3 s) every second"
                   : "idle CPU of the host, 1024 children with a 10 min watchdog and no ping due",
           cell.c_str(), pinging ? "< 1 %" : "0", Met(cpu.count > 0 && restarts.max == 0 && (pinging ? cpu.median < 1 : cpu.median <= 0)));
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
  Summary libRestart = Summarise(Restarts("restart.lib.1", "child")), libStart = Get("start.lib.64"),
          libIdle = Get("idle.lib.64");
  // A child that dies young is restarted after a spacing of 100 ms the first time: the crash
  // loop's first gap, from its create to its first restart, stands for that column.
  std::vector<double> crashGaps = ReadSamples(g_dir, "crash.lib.gaps");
  Summary libYoung = Summarise(crashGaps.empty() ? crashGaps : std::vector<double>{crashGaps[0]});
  printf("| Kestravo (1 child; 1.6 s column: its kills a second or more after the child's start; 0.2 s column: the crash "
         "loop's first restart, spaced 100 ms) | %s | %s | %s | %s | %s |\n",
         Latency(libRestart).c_str(), Latency(libYoung).c_str(), Runs(libStart, Ms).c_str(), Runs(libIdle, Percent).c_str(),
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
  printf("| supervisor | restart, 1.6 s old | restart, 0.2 s old | 64 children up | idle CPU, 64 | memory per child | target: all ≥ 1 |\n");
  printf("|---|---|---|---|---|---|---|\n");
  for (const Peer& p : kPeers) {
    std::string key = PeerKey(p);
    // A column without figures counts as not met: the row claims every column.
    bool all = true;
    auto ratio = [&all](const Summary& peer, const Summary& lib) {
      if (peer.count == 0 || lib.count == 0) {
        all = false;
        return std::string("–");
      }
      // Idle CPU can be nothing on both sides: equal, so the library is not behind.
      if (lib.median <= 0) {
        all = all && peer.median >= 0;
        return std::string(peer.median > 0 ? "∞ (Kestravo 0)" : "= (both 0)");
      }
      all = all && peer.median / lib.median >= 1;
      return Fmt("%.2f", peer.median / lib.median);
    };
    std::string old = ratio(Get(key + ".restart.old"), libRestart), young = ratio(Get(key + ".restart.young"), libYoung),
                start = ratio(Get(key + ".start64"), libStart), idle = ratio(Get(key + ".idle64"), libIdle),
                mem = ratio(Get(key + ".memory"), memory);
    printf("| %s (%s) | %s | %s | %s | %s | %s | %s |\n", p.name, p.setting, old.c_str(), young.c_str(), start.c_str(),
           idle.c_str(), mem.c_str(), Met(all));
  }
  WritePlot();
  return 0;
}
