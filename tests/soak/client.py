"""One client: `ostrel` with its own configuration folder (and so its own registry store
and data base), run one command at a time, each a process of its own that may be
killed with SIGKILL at a chosen moment."""

import glob
import os
import signal
import subprocess
import time


class Result:
    def __init__(self, rc, out, err, killed=False):
        self.rc, self.out, self.err, self.killed = rc, out, err, killed

    @property
    def ok(self):
        return self.rc == 0 and not self.killed

    def __repr__(self):
        return "rc=%s killed=%s err=%r" % (self.rc, self.killed, self.err.strip()[-300:])


class Client:
    def __init__(self, name, binary, config_dir, user, password, user_id, editor):
        self.name, self.binary, self.config = name, binary, config_dir
        self.user, self.password, self.user_id = user, password, user_id
        self.editor = editor
        os.makedirs(config_dir, exist_ok=True)

    def configure(self, root):
        with open(os.path.join(self.config, "config.ini"), "w") as f:
            f.write("[Ostrel]\nServerRoot=%s\nPushNotifyRoot=%s\nThumbnailRoot=%s\n" % (root, root, root))
        # No speed limit (the store's default is 1 MiB/s each way): a new store with just that.
        with open(os.path.join(self.config, "registry"), "w") as f:
            f.write('; Ostrel registry store, UTF-8. Written by the program.\n["Software\\\\Ostrel"]\n'
                    '"UploadSpeed"=dword:00000000\n"DownloadSpeed"=dword:00000000\n')

    def _args(self, args, opener=None):
        out = [self.binary, "--config", self.config, "--answer", "1"]
        if opener:
            out += ["--opener", opener]
        return out + list(args)

    def run(self, *args, stdin=None, timeout=120, kill_after=None, opener=None):
        """Runs one command; with kill_after (seconds) it is killed with SIGKILL then,
        unless it ended before."""
        env = dict(os.environ, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
        proc = subprocess.Popen(self._args(args, opener), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, start_new_session=True)
        killed = False
        if kill_after is not None:
            try:
                out, err = proc.communicate(stdin.encode() if stdin else None, timeout=kill_after)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                out, err = proc.communicate()
                killed = True
        else:
            try:
                out, err = proc.communicate(stdin.encode() if stdin else None, timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                out, err = proc.communicate()
                return Result(-999, out.decode(errors="replace"), "timed out after %ss\n" % timeout
                              + err.decode(errors="replace"))
        return Result(proc.returncode if not killed else -9, out.decode(errors="replace"),
                      err.decode(errors="replace"), killed)

    def login(self):
        return self.run("login", self.user, "--password-stdin", stdin=self.password + "\n")

    # --- what the client keeps on disk -------------------------------------------
    def databases(self):
        return glob.glob(os.path.join(self.config, "**", "tevok.db"), recursive=True)

    # --- a long-lived session --------------------------------------------------------
    def start_shell(self):
        return ShellSession(self)


class ShellSession:
    """`ostrel shell`: one client process that runs many commands, fed through its
    standard input."""

    def __init__(self, client):
        env = dict(os.environ, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
        self.proc = subprocess.Popen(client._args(["shell"]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, start_new_session=True)

    def send(self, line):
        self.proc.stdin.write(line.encode())
        self.proc.stdin.flush()

    def finish_with(self, lines, timeout=180):
        try:
            out, err = self.proc.communicate((lines + "exit\n").encode(), timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            out, err = self.proc.communicate()
            return Result(-999, out.decode(errors="replace"), "timed out\n" + err.decode(errors="replace"))
        return Result(self.proc.returncode, out.decode(errors="replace"), err.decode(errors="replace"))
