// child.h - runs one measurement in a forked child process and hands its result record to the parent.
//
// Each (run, engine) pair of the side-by-side benchmarks runs in a child of its own, so that every engine
// starts from a clean process and the child's peak resident memory (ru_maxrss) is its engine's alone.
// The result record is plain data with an `ok` flag and an `error` text; it crosses a pipe as bytes.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <type_traits>

namespace qrx::peers {

template <class Result>
struct ChildSample {
  Result result;
  long maxrss_kib = 0;     // peak resident memory of the child
  bool exited_ok = false;  // the child exited with status 0 and its record says ok
};

// Runs `body()` and says in `r` how it went: ok when it returns, not ok with the exception's text in
// r.error when it throws, so that the caller (a forked child) still hands a record over.
template <class Result, class Body>
void run_checked(Result &r, const Body &body) {
  try {
    body();
    r.ok = 1;
  } catch (const std::exception &ex) {
    r.ok = 0;
    std::snprintf(r.error, sizeof r.error, "%s", ex.what());
  }
}

// Runs `job(Result &)` in a forked child and returns the record it filled and the child's peak memory. A
// child that dies before it wrote a whole record gives a failed sample saying so.
template <class Result, class Job>
ChildSample<Result> in_child(const Job &job) {
  static_assert(std::is_trivially_copyable_v<Result>, "the record crosses a pipe as bytes");
  ChildSample<Result> s;
  int fds[2];
  if (::pipe(fds) != 0) {
    std::snprintf(s.result.error, sizeof s.result.error, "pipe failed");
    return s;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    std::snprintf(s.result.error, sizeof s.result.error, "fork failed");
    return s;
  }
  if (pid == 0) {
    ::close(fds[0]);
    auto *r = new Result();
    job(*r);
    const char *p = reinterpret_cast<const char *>(r);
    size_t left = sizeof *r;
    while (left > 0) {
      ssize_t w = ::write(fds[1], p, left);
      if (w <= 0) ::_exit(3);
      p += w;
      left -= static_cast<size_t>(w);
    }
    ::_exit(r->ok ? 0 : 1);
  }
  ::close(fds[1]);
  char *p = reinterpret_cast<char *>(&s.result);
  size_t got = 0;
  while (got < sizeof s.result) {
    ssize_t n = ::read(fds[0], p + got, sizeof s.result - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  s.maxrss_kib = ru.ru_maxrss;
  if (got != sizeof s.result) {
    s.result = Result();
    std::snprintf(s.result.error, sizeof s.result.error, "child ended without a result (status %d)", status);
  }
  s.exited_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && s.result.ok == 1;
  return s;
}

}  // namespace qrx::peers
