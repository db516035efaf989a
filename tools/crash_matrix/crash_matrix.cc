// crash_matrix.cc - runs each workload in a child process ended at every write of a block or record it
// makes (and, in the SIGKILL mode, killed at random moments), judges the files each child left in a
// child of its own, and prints one table per workload and mode.
//
// The judgement of one point:
//   - files that were never made whole may be anything, but opening them must not crash;
//   - the next open must report the unclean close (a B-tree file: cbopen's error 20 and its notice; a
//     database: iopen_db's notice and the verification's notice and message), unless the child's last
//     act was a proper close;
//   - the verification (cbcheck; for a database the verification iopen_db runs and the cross-check of
//     `qrx db verify`) passes with contents that hold every record as it was at the last durable point
//     (records touched by later operations may show any state they went through), or it fails and the
//     recovery (the dump for a B-tree file, `qrx db rebuild` for a database) finds every such record.
// A clean open or a passing verification with wrong contents is silent; a durable record the recovery
// cannot find is lost. Both must never happen: the exit status is 1 when one did.
//
//   crash_matrix [--workload btree|isam|keyed|all] [--ops N] [--kill-rounds N] [--seed N]
//                [--flush-every N] [--reopen-every N] [--stride N] [--only N] [--verbose]
// --stride N tries every Nth write only; --only N runs the one write point N, prints the child's reports
// and keeps a copy of the files it left; --verbose prints the note of every point that has one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cbt/blockio/blockio.h"
#include "crash_matrix.h"
#include "host/qrxhost.h"

namespace qrx::crash {

// ---------------------------------------------------------------------------------------------------
// The model's operations.
// ---------------------------------------------------------------------------------------------------

Op next_op(Rng &rng, const Model &model, const Workload &w, uint64_t index, uint32_t &next_id) {
  Op op;
  op.index = index;
  const uint32_t roll = rng.below(100);
  if (model.size() < 8 || roll < 45) {
    op.kind = Op::kAdd;
    op.id = next_id++;
    return op;
  }
  // An existing record, chosen by its position in the model.
  auto it = model.begin();
  std::advance(it, rng.below(static_cast<uint32_t>(model.size())));
  op.id = w.id_of(it->first);
  op.kind = roll < 80 ? Op::kModify : Op::kDelete;
  return op;
}

void apply_op(Model &model, const Workload &w, const Op &op) {
  if (op.kind == Op::kDelete)
    model.erase(w.key_of(op.id));
  else
    model[w.key_of(op.id)] = w.value_of(op.id, op.index);
}

// ---------------------------------------------------------------------------------------------------
// Trace lines of the children.
// ---------------------------------------------------------------------------------------------------

namespace {

std::vector<std::string> g_notices;

void keep_notices(void *, const char *, int, int kind, int, const char *text) {
  if (text == nullptr) return;
  if (kind == QRXHOST_KIND_NOTICE) g_notices.push_back(std::string("NOTICE ") + text);
  if (kind == QRXHOST_KIND_MESSAGE) g_notices.push_back(std::string("MESSAGE ") + text);
}

}  // namespace

void quiet_library() {
  qrxhost_set_trace_sink(&keep_notices, nullptr);
}

std::vector<std::string> take_notices() {
  std::vector<std::string> out;
  out.swap(g_notices);
  return out;
}

namespace {

// ---------------------------------------------------------------------------------------------------
// The child's reports: 12-byte messages over a pipe.
// ---------------------------------------------------------------------------------------------------

enum Report : uint32_t { kMade = 1, kStarted, kDurable, kClosing, kClosed, kOpened, kWrites, kFinished };

struct Message {
  uint32_t kind;
  uint64_t value;
} __attribute__((packed));

void report(int fd, Report kind, uint64_t value) {
  const Message m{kind, value};
  if (::write(fd, &m, sizeof m) != static_cast<ssize_t>(sizeof m)) ::_exit(3);
}

// Exit codes of a child whose workload failed without a crash, and of a judge that finished.
constexpr int kWorkloadRefused = 3;
constexpr int kJudgeDone = 0;

// The workload in the child: make the files, then operations with flushes and reopens, until the run is
// over (or forever in the SIGKILL mode). Never returns.
[[noreturn]] void child_run(Workload &w, const Config &cfg, uint64_t nth, int out) {
  quiet_library();
  if (!w.start(cfg)) ::_exit(kWorkloadRefused);
  blockio::crash_arm(nth);
  if (!w.make()) ::_exit(kWorkloadRefused);
  report(out, kMade, 0);
  Model model;
  Rng rng(cfg.seed);
  uint32_t next_id = 1;
  for (uint64_t i = 1; cfg.loop || i <= cfg.ops; ++i) {
    const Op op = next_op(rng, model, w, i, next_id);
    report(out, kStarted, i);
    if (!w.apply(op)) ::_exit(kWorkloadRefused);
    apply_op(model, w, op);
    if (w.durable_by_itself()) report(out, kDurable, i);
    if (i % cfg.flush_every == 0) {
      if (!w.flush()) ::_exit(kWorkloadRefused);
      report(out, kDurable, i);
    }
    if (i % cfg.reopen_every == 0) {
      report(out, kClosing, i);
      if (!w.close()) ::_exit(kWorkloadRefused);
      report(out, kClosed, i);
      if (!w.open()) ::_exit(kWorkloadRefused);
      report(out, kOpened, i);
    }
  }
  report(out, kClosing, cfg.ops);
  if (!w.close()) ::_exit(kWorkloadRefused);
  report(out, kClosed, cfg.ops);
  report(out, kWrites, blockio::crash_count());
  report(out, kFinished, 0);
  ::_exit(0);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Runs the workload in a child ended at write nth (0: not ended), or killed after kill_after seconds
// (negative: not killed). Collects its reports.
Events run_child(Workload &w, const Config &cfg, uint64_t nth, double kill_after) {
  Events ev;
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  std::fflush(stdout);
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::close(fds[0]);
    child_run(w, cfg, nth, fds[1]);
  }
  ::close(fds[1]);
  bool killed = false;
  Message m{};
  size_t have = 0;
  for (;;) {
    int timeout = -1;
    if (kill_after >= 0 && !killed) {
      const double left = kill_after - seconds_since(t0);
      if (left <= 0) {
        ::kill(pid, SIGKILL);
        killed = ev.killed = true;
      } else {
        timeout = static_cast<int>(left * 1000) + 1;
      }
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, timeout) == 0) continue;
    const ssize_t n = ::read(fds[0], reinterpret_cast<char *>(&m) + have, sizeof m - have);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    if (have < sizeof m) continue;
    have = 0;
    switch (m.kind) {
      case kMade:
        ev.made = true, ev.closed = false;
        break;
      case kStarted:
        ev.started = m.value;
        break;
      case kDurable:
        ev.durable = m.value;
        break;
      case kClosing:
        ev.closing = true;
        break;
      case kClosed:
        ev.durable = m.value, ev.closed = true, ev.closing = false;
        break;
      case kOpened:
        ev.closed = false;
        break;
      case kWrites:
        ev.writes = m.value;
        break;
      case kFinished:
        ev.finished = true;
        break;
    }
  }
  ::close(fds[0]);
  ::waitpid(pid, &ev.status, 0);
  ev.seconds = seconds_since(t0);
  return ev;
}

// ---------------------------------------------------------------------------------------------------
// The judgement.
// ---------------------------------------------------------------------------------------------------

struct Verdict {
  bool made = false;
  bool unclean_expected = false;
  bool unclean_reported = false;  // with its notice (and message)
  bool verified = false;
  bool library_verify_missed = false;  // iopen_db's verification passed files the cross-check refused
  bool recovery_ran = false;
  bool recovery_ok = false;
  bool silent = false;
  uint32_t lost = 0;   // durable records missing or wrong
  uint32_t wrong = 0;  // other records in a state the model never had
  bool judge_crashed = false;
  char note[240] = {};
};

// The states each record may show: its state at the last durable point, and every state a later
// operation up to the one under way gave it. kAbsent stands for no record (no workload makes that value).
const std::string kAbsent =
    "\x01"
    "absent";

struct Allowed {
  std::string durable = kAbsent;
  std::vector<std::string> later;
  bool touched() const { return !later.empty(); }
  bool allows(const std::string &v) const {
    return v == durable || std::find(later.begin(), later.end(), v) != later.end();
  }
};

std::map<std::string, Allowed> allowed_states(Workload &w, const Config &cfg, const Events &ev) {
  std::map<std::string, Allowed> out;
  Model model;
  Rng rng(cfg.seed);
  uint32_t next_id = 1;
  for (uint64_t i = 1; i <= ev.started; ++i) {
    const Op op = next_op(rng, model, w, i, next_id);
    apply_op(model, w, op);
    if (i == ev.durable)
      for (const auto &[k, v] : model) out[k].durable = v;
    if (i > ev.durable) {
      const std::string k = w.key_of(op.id);
      auto it = model.find(k);
      out[k].later.push_back(it == model.end() ? kAbsent : it->second);
    }
  }
  return out;
}

void set_note(Verdict &v, const std::string &text) {
  if (v.note[0] == '\0') std::snprintf(v.note, sizeof v.note, "%s", text.c_str());
}

Verdict judge_in_child(Workload &w, const Config &cfg, const Events &ev) {
  Verdict v;
  quiet_library();
  v.made = ev.made;
  const Observation o = w.observe(cfg);
  if (!v.made) return v;  // nothing was promised; the open only had not to crash
  // A kill may land after a close made the file clean and before the child said so; an end at a write
  // always comes before the close's last write, which is the one that marks the file closed.
  v.unclean_expected = !ev.closed && !(ev.closing && ev.killed);
  v.unclean_reported = o.unclean && o.notice;
  v.verified = o.verified;
  v.library_verify_missed = o.unclean && o.library_verify && !o.verified;
  v.recovery_ran = o.recovery_ran;
  v.recovery_ok = o.recovery_ok;
  if (!o.note.empty()) set_note(v, o.note);
  if (!o.opened) set_note(v, "the files cannot be opened: " + o.note);
  if (o.unclean != o.notice) set_note(v, "unclean close reported without its notice and message");
  if (v.unclean_expected && !o.unclean)
    set_note(v, "a clean open after operation " + std::to_string(ev.started) + " began (last durable " +
                    std::to_string(ev.durable) + ")");

  std::map<std::string, Allowed> allowed = allowed_states(w, cfg, ev);
  for (const auto &[k, vals] : o.content) allowed.try_emplace(k);
  const bool exact = o.verified || !w.recovery_finds_only();
  for (const auto &[k, a] : allowed) {
    const auto c = o.content.find(k);
    const std::vector<std::string> none;
    const std::vector<std::string> &found = c == o.content.end() ? none : c->second;
    bool ok;
    const bool durable_found = std::find(found.begin(), found.end(), a.durable) != found.end();
    if (!exact) {
      // A dump may also hold stale copies: what counts is that the durable record is among them.
      ok = a.durable == kAbsent || a.touched() || durable_found;
    } else if (found.empty()) {
      ok = a.allows(kAbsent);
    } else {
      ok = found.size() == 1 || a.touched();
      for (const std::string &f : found) ok = ok && a.allows(f);
    }
    if (ok) continue;
    const bool durable_lost = a.durable != kAbsent && !a.touched() && !durable_found;
    durable_lost ? ++v.lost : ++v.wrong;
    set_note(v,
             "record " + k + ": expected " + (a.durable == kAbsent ? "absent" : a.durable) +
                 (a.touched() ? " (or a later state)" : "") + ", found " +
                 (found.empty() ? "nothing" : std::to_string(found.size()) + " copies, first " + found[0]));
  }
  // Wrong contents behind a clean open or a passing verification are silent.
  const bool clean_open = !o.unclean;
  v.silent = (v.lost > 0 || v.wrong > 0) && (clean_open || o.verified);
  return v;
}

Verdict judge(Workload &w, const Config &cfg, const Events &ev) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    ::close(fds[0]);
    const Verdict v = judge_in_child(w, cfg, ev);
    if (::write(fds[1], &v, sizeof v) != static_cast<ssize_t>(sizeof v)) ::_exit(4);
    ::_exit(kJudgeDone);
  }
  ::close(fds[1]);
  Verdict v;
  size_t have = 0;
  for (ssize_t n;
       have < sizeof v && (n = ::read(fds[0], reinterpret_cast<char *>(&v) + have, sizeof v - have)) > 0;)
    have += static_cast<size_t>(n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (have != sizeof v || !WIFEXITED(status) || WEXITSTATUS(status) != kJudgeDone) {
    v = Verdict{};
    v.made = ev.made;
    v.judge_crashed = true;
    set_note(v, "the judge ended with status " + std::to_string(status) +
                    " (a crash while opening, verifying or recovering)");
  }
  return v;
}

// ---------------------------------------------------------------------------------------------------
// The tally and its table.
// ---------------------------------------------------------------------------------------------------

bool g_verbose = false;  // --verbose: the note of every point that has one, not only of failures

struct Tally {
  uint64_t points = 0, not_made = 0, unclean = 0, clean_after_close = 0, missed_unclean = 0, verified = 0,
           library_missed = 0, recovered = 0, unrecoverable = 0, silent = 0, lost = 0, wrong = 0, crashes = 0,
           refused = 0;
  // What must never happen: a missed unclean close, wrong contents behind a clean open or a passing
  // verification, a durable record lost, a crash while judging, a run that did not end where it should.
  uint64_t failures() const { return missed_unclean + silent + lost + crashes + refused; }
};

void add(Tally &t, const Verdict &v, const char *what, uint64_t point, int &shown) {
  ++t.points;
  bool fault = false;
  if (v.judge_crashed) ++t.crashes, fault = true;
  if (!v.made) {
    ++t.not_made;
  } else if (!v.judge_crashed) {
    if (v.unclean_reported) ++t.unclean;
    if (!v.unclean_expected && !v.unclean_reported) ++t.clean_after_close;
    if (v.unclean_expected && !v.unclean_reported) ++t.missed_unclean, fault = true;
    if (v.verified) ++t.verified;
    if (v.library_verify_missed) ++t.library_missed;
    if (v.recovery_ran && v.recovery_ok && v.lost == 0) ++t.recovered;
    if (v.recovery_ran && !v.recovery_ok) ++t.unrecoverable;
    if (v.silent) ++t.silent, fault = true;
    t.lost += v.lost;
    if (v.lost > 0) fault = true;
    if (v.wrong > 0) ++t.wrong;
  }
  if ((fault || (g_verbose && v.note[0] != '\0')) && shown < (g_verbose ? 1000 : 40)) {
    ++shown;
    std::fprintf(stderr, "crash_matrix: %s %llu: %s%s%s\n", what, static_cast<unsigned long long>(point),
                 v.silent ? "silent: " : "",
                 v.unclean_expected && !v.unclean_reported ? "unclean close missed: " : "", v.note);
  }
}

void print_header() {
  std::printf(
      "| workload | mode | points | not made | unclean detected | clean after close | missed unclean | "
      "verify passed | recovered | recovery failed | silent | flushed lost | judge crashed |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
}

void print_row(const char *workload, const char *mode, const Tally &t) {
  std::printf("| %s | %s | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu | %llu |\n",
              workload, mode, static_cast<unsigned long long>(t.points),
              static_cast<unsigned long long>(t.not_made), static_cast<unsigned long long>(t.unclean),
              static_cast<unsigned long long>(t.clean_after_close),
              static_cast<unsigned long long>(t.missed_unclean), static_cast<unsigned long long>(t.verified),
              static_cast<unsigned long long>(t.recovered), static_cast<unsigned long long>(t.unrecoverable),
              static_cast<unsigned long long>(t.silent), static_cast<unsigned long long>(t.lost),
              static_cast<unsigned long long>(t.crashes));
  std::fflush(stdout);
}

void clear_dir(const std::string &dir) {
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(dir, ec))
    std::filesystem::remove_all(e.path(), ec);
}

struct Options {
  std::vector<Workload *> workloads;
  Config cfg;
  uint32_t kill_rounds = 20;
  uint64_t stride = 1;
  uint64_t only = 0;  // when set: that one write point, its reports printed and its files kept
};

// Every write point of one workload, then its SIGKILL rounds. Returns the failures.
uint64_t run_workload(Workload &w, const Options &opt) {
  Config cfg = opt.cfg;
  cfg.ops = w.ops_for(cfg.ops);
  clear_dir(cfg.dir);
  const Events whole = run_child(w, cfg, 0, -1);
  if (!whole.finished) {
    std::fprintf(stderr, "crash_matrix: %s: the workload fails without a crash (status %d)\n", w.name(),
                 whole.status);
    return 1;
  }
  const uint64_t writes = whole.writes;
  Tally points;
  int shown = 0;
  if (opt.only > 0) {
    clear_dir(cfg.dir);
    const Events ev = run_child(w, cfg, opt.only, -1);
    std::printf(
        "%s write %llu of %llu: status %d, made %d, started %llu, durable %llu, closed %d; files in %s\n",
        w.name(), static_cast<unsigned long long>(opt.only), static_cast<unsigned long long>(writes),
        ev.status, ev.made, static_cast<unsigned long long>(ev.started),
        static_cast<unsigned long long>(ev.durable), ev.closed, cfg.dir.c_str());
    const std::string keep = cfg.dir + ".kept";
    std::filesystem::remove_all(keep);
    std::filesystem::copy(cfg.dir, keep);
    add(points, judge(w, cfg, ev), w.name(), opt.only, shown);
    std::printf("the files as the child left them: %s\n", keep.c_str());
    return points.failures();
  }
  for (uint64_t n = 1; n <= writes; n += opt.stride) {
    clear_dir(cfg.dir);
    const Events ev = run_child(w, cfg, n, -1);
    if (!WIFEXITED(ev.status) || WEXITSTATUS(ev.status) != blockio::kCrashExitCode) {
      ++points.points, ++points.refused;
      if (shown++ < 10)
        std::fprintf(stderr, "crash_matrix: %s write %llu: the child was not ended there (status %d)\n",
                     w.name(), static_cast<unsigned long long>(n), ev.status);
      continue;
    }
    add(points, judge(w, cfg, ev), w.name(), n, shown);
  }
  print_row(w.name(), "every write", points);

  Tally kills;
  cfg.loop = true;
  Rng rng(cfg.seed ^ 0x5eedULL);
  // Delays up to one and a half times the whole run, so that some land late in the loop.
  const double span = whole.seconds * 1.5;
  for (uint32_t r = 1; r <= opt.kill_rounds; ++r) {
    clear_dir(cfg.dir);
    const double delay = span * static_cast<double>(rng.below(1000)) / 1000.0;
    const Events ev = run_child(w, cfg, 0, delay);
    if (!WIFSIGNALED(ev.status) || WTERMSIG(ev.status) != SIGKILL) {
      ++kills.points, ++kills.refused;
      if (shown++ < 10)
        std::fprintf(stderr, "crash_matrix: %s kill round %u: the child ended by itself (status %d)\n",
                     w.name(), r, ev.status);
      continue;
    }
    add(kills, judge(w, cfg, ev), w.name(), r, shown);
  }
  if (opt.kill_rounds > 0) print_row(w.name(), "SIGKILL", kills);
  clear_dir(cfg.dir);
  return points.failures() + kills.failures();
}

uint64_t number(const char *flag, const char *text) {
  char *end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') {
    std::fprintf(stderr, "crash_matrix: %s needs a number, not '%s'\n", flag, text);
    std::exit(2);
  }
  return v;
}

}  // namespace
}  // namespace qrx::crash

int main(int argc, char **argv) {
  using namespace qrx::crash;
  Options opt;
  std::string which = "all";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : "";
    if (a == "--workload")
      which = v, ++i;
    else if (a == "--ops")
      opt.cfg.ops = static_cast<uint32_t>(number(argv[i], v)), ++i;
    else if (a == "--kill-rounds")
      opt.kill_rounds = static_cast<uint32_t>(number(argv[i], v)), ++i;
    else if (a == "--seed")
      opt.cfg.seed = number(argv[i], v), ++i;
    else if (a == "--flush-every")
      opt.cfg.flush_every = static_cast<uint32_t>(number(argv[i], v)), ++i;
    else if (a == "--reopen-every")
      opt.cfg.reopen_every = static_cast<uint32_t>(number(argv[i], v)), ++i;
    else if (a == "--stride")
      opt.stride = number(argv[i], v), ++i;
    else if (a == "--only")
      opt.only = number(argv[i], v), ++i;
    else if (a == "--verbose")
      g_verbose = true;
    else {
      std::fprintf(
          stderr,
          "usage: crash_matrix [--workload btree|isam|keyed|all] [--ops N] [--kill-rounds N] [--seed N]\n"
          "                    [--flush-every N] [--reopen-every N] [--stride N] [--only N] [--verbose]\n");
      return 2;
    }
  }
  if (opt.cfg.flush_every == 0 || opt.cfg.reopen_every == 0 || opt.stride == 0) {
    std::fprintf(stderr, "crash_matrix: --flush-every, --reopen-every and --stride must be above 0\n");
    return 2;
  }
  if (which == "btree" || which == "all") opt.workloads.push_back(btree_workload());
  if (which == "isam" || which == "all") opt.workloads.push_back(isam_workload());
  if (which == "keyed" || which == "all") opt.workloads.push_back(keyed_workload());
  if (opt.workloads.empty()) {
    std::fprintf(stderr, "crash_matrix: unknown workload '%s'\n", which.c_str());
    return 2;
  }
  const char *tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/crash_matrix.XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    std::perror("crash_matrix: mkdtemp");
    return 2;
  }
  opt.cfg.dir = dir;
  std::printf(
      "crash matrix: seed %llu, %u operations (a B-tree file 5 times as many), flush every %u, reopen every "
      "%u, "
      "%u SIGKILL rounds\n\n",
      static_cast<unsigned long long>(opt.cfg.seed), opt.cfg.ops, opt.cfg.flush_every, opt.cfg.reopen_every,
      opt.kill_rounds);
  print_header();
  uint64_t failures = 0;
  for (Workload *w : opt.workloads) failures += run_workload(*w, opt);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::printf("\n%s\n", failures == 0 ? "crash matrix: no silent inconsistency, no durable record lost"
                                      : "crash matrix: FAILED (see the lines on standard error)");
  return failures == 0 ? 0 : 1;
}
