// Starting a program on a file, and learning when it ends: the stand-in for opening a
// file with its associated program and keeping the process handle to watch it.
//
// The program is the caller's setting: an argument-vector prefix such as {"xdg-open"}
// or {"vim", "-n"}; the file is added as the last argument. No shell is involved, so a
// file name needs no quoting whatever it holds. The program is looked up on PATH as
// execvp does when its name holds no '/'.
//
// The started process is a child of ours, handed out as a pidfd (close-on-exec). The
// child gets descriptors 0, 1 and 2 of this process and no other, an empty signal mask
// and SIGPIPE at its default (this process ignores it); it stays in our session and our
// process group. A terminal editor needs exactly that: while we have the terminal's
// foreground it has it too, reads and writes it and gets its Ctrl-C with us, whereas in
// a group of its own it would be a background job, stopped (SIGTTIN) at its first read.
// The caller therefore must not read the terminal itself while such a program runs.
//
// Every pidfd from StartOpener ends with exactly one ReleaseChild, which leaves no
// zombie behind: a child that has ended is reaped at once, one still running is reaped
// by a thread of its own when it ends (when no thread can be made, by the first start,
// release or count after it ended). Nothing else in this process may wait for these
// children (no waitpid(-1), SIGCHLD not ignored), or their status is lost.
//
// Every function may be called from any thread; a pidfd is used by its owner only (two
// threads asking about one child would see its end once between them).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// Starts program with file as its last argument. A relative file name that begins with
// '-' is passed as "./" followed by the name, so that it is never read as an option.
// Returns the child's pidfd; the start has succeeded only when the program's exec did,
// so that a program that cannot be run is never seen as one that ended. On failure
// returns -1 with *error (when given) set to the errno of what failed, and leaves no
// process behind:
//   EINVAL  program or program[0] empty, or an argument or file holding a NUL byte;
//   ENOENT  no such program (on PATH); EACCES, ENOEXEC, ... the exec failed;
//   EMFILE, EAGAIN, ENOMEM, ... no process or no pidfd could be made (a child started
//           without a pidfd is killed and reaped before this returns).
int StartOpener(const std::vector<std::string>& program, const std::string& file, int* error = nullptr);

// Where a child stands, as ChildState answers it.
struct ChildStatus {
  enum Kind {
    kRunning,    // not ended yet
    kExited,     // ended by exit; code is its exit status (0 to 255)
    kSignalled,  // ended by a signal; code is the signal number
    kUnknown,    // cannot be told; code is the errno (ECHILD: already reaped, or not
                 // a child of ours; EBADF, EINVAL: not a pidfd)
  };
  Kind kind = kUnknown;
  int code = 0;

  bool Ended() const { return kind == kExited || kind == kSignalled; }
  // Ended by exit with status 0: what a desktop launcher reports when it has handed the
  // file to a program that was running already.
  bool EndedWithSuccess() const { return kind == kExited && code == 0; }
};

// Asks, without waiting, whether the child that pidfd refers to has ended. The first
// answer that it has ended also reaps it: a later call answers kUnknown with ECHILD, so
// the caller keeps the first answer. The pidfd stays open either way.
ChildStatus ChildState(int pidfd);

// Ends the caller's watch of a child and gives up its pidfd, which must not be used
// afterwards: an ended child is reaped now (its status is not kept), a running one is
// left running and reaped when it ends. A negative pidfd does nothing.
void ReleaseChild(int pidfd);

// For tests and shut-down: the number of released children not reaped yet, and a wait
// (up to timeout) until there are none; true when there are none.
size_t ReleasedChildrenRunning();
bool WaitForReleasedChildren(std::chrono::milliseconds timeout);
