// ostrel_test_editor: a program that plays an editor for tests of opening files and
// watching the programs that edit them. It runs a script of steps given on its command
// line against one file and is told by the test, through fifos, when to go on, so that
// no test waits for time to pass. See kUsage.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: ostrel_test_editor [STEP...] FILE\n"
    "Plays an editor for tests: runs the steps in the order given on FILE (the last\n"
    "argument), then exits with status 0.\n"
    "\n"
    "  --hold          open FILE for reading and writing (created when missing), keep it open\n"
    "  --flock         take an exclusive flock on the held file (holding it first if need be)\n"
    "  --posix-lock    take a POSIX write lock (fcntl) on the whole held file (the same)\n"
    "  --append=TEXT   append TEXT to FILE (through the held file, else open, append, close)\n"
    "  --close         close the held file; its locks go with it\n"
    "  --fork          fork: the parent exits at once with status 0, the child runs the steps\n"
    "                  that follow and keeps what is held, as an editor's client does that\n"
    "                  hands the file to its server\n"
    "  --to=FIFO       the fifo that --tell writes to (the test keeps its reading end open)\n"
    "  --tell=TEXT     write TEXT and a newline to the --to fifo\n"
    "  --from=FIFO     the fifo that --wait reads from (the test keeps a writing end open)\n"
    "  --wait          read one line from the --from fifo: blocks until the test sends it\n"
    "  --report=PATH   write what this process was started with to PATH, a \"key=value\" a\n"
    "                  line: fds (its open descriptors, comma-separated, ascending), sigign\n"
    "                  and sigblk (the masks of /proc/self/status, hex), pgid, sid, argc, and\n"
    "                  last file (FILE as received, up to the end of the report)\n"
    "  --exit=N        exit now with status N\n"
    "  --help          this text\n"
    "\n"
    "A step that fails (and a fifo whose test end has gone) ends the program with status\n"
    "100 after a line on standard error.\n";

constexpr int kFailed = 100;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "ostrel_test_editor: %s: %s\n", what.c_str(), std::strerror(errno));
  _exit(kFailed);
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string StatusField(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "re");
  if (!f) return "";
  char line[512];
  std::string value;
  size_t keyLen = std::strlen(key);
  while (std::fgets(line, sizeof(line), f)) {
    if (std::strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
      const char* v = line + keyLen + 1;
      while (*v == ' ' || *v == '\t') ++v;
      value = v;
      while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    }
  }
  std::fclose(f);
  return value;
}

// The descriptors open in this process, before the report's own file is opened.
std::string OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) Fail("/proc/self/fd");
  std::vector<int> fds;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    int fd = std::atoi(e->d_name);
    if (fd != dirfd(dir)) fds.push_back(fd);
  }
  closedir(dir);
  std::string text;
  for (size_t i = 0; i < fds.size(); ++i) {
    for (size_t j = i + 1; j < fds.size(); ++j)
      if (fds[j] < fds[i]) std::swap(fds[i], fds[j]);
    text += (i ? "," : "") + std::to_string(fds[i]);
  }
  return text;
}

void Report(const std::string& path, int argc, const std::string& file) {
  std::string text = "fds=" + OpenDescriptors() + "\n";
  text += "sigign=" + StatusField("SigIgn") + "\n";
  text += "sigblk=" + StatusField("SigBlk") + "\n";
  text += "pgid=" + std::to_string(getpgrp()) + "\n";
  text += "sid=" + std::to_string(getsid(0)) + "\n";
  text += "argc=" + std::to_string(argc) + "\n";
  text += "file=" + file;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || !WriteAll(fd, text) || close(fd) != 0) Fail("report " + path);
}

class Editor {
 public:
  explicit Editor(std::string file) : m_file(std::move(file)) {}

  void Hold() {
    if (m_held >= 0) return;
    m_held = open(m_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_held < 0) Fail("open " + m_file);
  }
  void Flock() {
    Hold();
    if (flock(m_held, LOCK_EX) != 0) Fail("flock");
  }
  void PosixLock() {
    Hold();
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
    if (fcntl(m_held, F_SETLKW, &lock) != 0) Fail("fcntl lock");
  }
  void Append(const std::string& text) {
    int fd = m_held >= 0 ? m_held : open(m_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) Fail("open " + m_file);
    if (lseek(fd, 0, SEEK_END) < 0 || !WriteAll(fd, text)) Fail("append");
    if (fd != m_held && close(fd) != 0) Fail("close");
  }
  void Close() {
    if (m_held >= 0 && close(m_held) != 0) Fail("close");
    m_held = -1;
  }
  void Tell(const std::string& fifo, const std::string& text) {
    // Never waits for a reader: the test's end is open, or the test is gone.
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !WriteAll(fd, text + "\n")) Fail("tell " + fifo);
    close(fd);
  }
  void Wait(const std::string& fifo) {
    if (m_from < 0) {
      // Never waits for a writer either: a test that is gone leaves an end of file.
      m_from = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (m_from < 0 || fcntl(m_from, F_SETFL, 0) != 0) Fail("open " + fifo);
    }
    // One byte at a time, so that what the test sends for a later wait stays in the fifo.
    for (;;) {
      char c = 0;
      ssize_t n = read(m_from, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        errno = n == 0 ? EPIPE : errno;
        Fail("wait " + fifo);
      }
      if (c == '\n') return;
    }
  }

 private:
  std::string m_file;
  int m_held = -1;
  int m_from = -1;
};

bool Value(const std::string& arg, const char* name, std::string* value) {
  std::string prefix = std::string(name) + "=";
  if (arg.compare(0, prefix.size(), prefix) != 0) return false;
  *value = arg.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string file = argv[argc - 1];
  Editor editor(file);
  std::string to, from, value;
  for (int i = 1; i < argc - 1; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hold") {
      editor.Hold();
    } else if (arg == "--flock") {
      editor.Flock();
    } else if (arg == "--posix-lock") {
      editor.PosixLock();
    } else if (Value(arg, "--append", &value)) {
      editor.Append(value);
    } else if (arg == "--close") {
      editor.Close();
    } else if (arg == "--fork") {
      pid_t pid = fork();
      if (pid < 0) Fail("fork");
      if (pid > 0) _exit(0);
    } else if (Value(arg, "--to", &value)) {
      to = value;
    } else if (Value(arg, "--tell", &value)) {
      editor.Tell(to, value);
    } else if (Value(arg, "--from", &value)) {
      from = value;
    } else if (arg == "--wait") {
      editor.Wait(from);
    } else if (Value(arg, "--report", &value)) {
      Report(value, argc, file);
    } else if (Value(arg, "--exit", &value)) {
      _exit(std::atoi(value.c_str()));
    } else {
      std::fprintf(stderr, "ostrel_test_editor: unknown step %s\n", arg.c_str());
      _exit(kFailed);
    }
  }
  return 0;
}
