"""The local service as the soak run's peer: started with its state under a data folder
so that it can be killed (SIGKILL) and started again on the same port, and driven
through its /test/ control routes (accounts, shares, faults, its tree and contents)."""

import json
import os
import signal
import subprocess
import time
import urllib.error
import urllib.request


class ServiceError(Exception):
    pass


class LocalService:
    def __init__(self, binary, state_dir, log_path, extra_args=()):
        self.binary = binary
        self.state_dir = state_dir
        self.log_path = log_path
        self.extra_args = list(extra_args)
        self.port = 0
        self.proc = None
        self.accounts = []  # (user, password) passed at every start

    @property
    def root(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self):
        os.makedirs(self.state_dir, exist_ok=True)
        out_path = self.log_path + ".out"
        args = [self.binary, "--port", str(self.port), "--state", self.state_dir,
                "--push-hold-ms", "200", "--state-sync-ms", "50", "--log-requests", "200"] + self.extra_args
        for user, password in self.accounts:
            args += ["--account", "%s:%s" % (user, password)]
        # A restart may find the port still held for a moment by the killed process.
        for _ in range(100):
            with open(out_path, "w") as out, open(self.log_path, "a") as err:
                self.proc = subprocess.Popen(args, stdout=out, stderr=err, start_new_session=True)
            port = self._wait_listening(out_path)
            if port:
                self.port = port
                return
            self.proc.wait()
            time.sleep(0.05)
        raise ServiceError("the local service did not start (see %s)" % self.log_path)

    def _wait_listening(self, out_path):
        for _ in range(400):
            with open(out_path) as f:
                for line in f:
                    if line.startswith("listening on 127.0.0.1:"):
                        return int(line.strip().rsplit(":", 1)[1])
            if self.proc.poll() is not None:
                return 0
            time.sleep(0.01)
        self.proc.kill()
        return 0

    def kill(self):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.kill()

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    # --- control routes ---------------------------------------------------------
    def _call(self, path, body=None, raw=False):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.root + path, data=data, method="GET" if body is None else "POST")
        if data is not None:
            req.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(req, timeout=30) as resp:
                payload = resp.read()
        except urllib.error.HTTPError as e:
            raise ServiceError("%s: HTTP %d %s" % (path, e.code, e.read()[:200]))
        return payload if raw else json.loads(payload or b"{}")

    def add_account(self, user, password, user_id):
        self.accounts.append((user, password))
        return self._call("/test/fs/account", {"user": user, "password": password, "userId": user_id})

    def item(self, **fields):
        return self._call("/test/fs/item", fields)

    def share(self, file_id, to, writable=True):
        return self._call("/test/fs/share", {"fileId": file_id, "to": to, "writable": writable})

    def inject(self, faults):
        return self._call("/test/inject", faults)

    def corrupt(self, file_id, index, count=1):
        return self._call("/test/xfer/corrupt", {"fileId": file_id, "index": index, "count": count})

    def expire_tokens(self, user_id):
        """Makes a new expired token for the user: the service then also has a token the
        client does not hold. The client's own token is expired through `expire_token`."""
        return self._call("/test/fs/token", {"userId": user_id, "expired": True})

    def expire_token(self, token):
        return self._call("/test/fs/token", {"token": token, "expired": True})

    def reset(self):
        return self._call("/test/reset", {})

    def log(self):
        return self._call("/test/log").get("requests", [])

    def items(self, user_id):
        return self._call("/test/fs/state?userId=" + user_id).get("items", [])

    def content(self, file_id):
        return self._call("/test/xfer/content?fileId=" + file_id, raw=True)

    def tree(self, user_id):
        """The user's live items as {path: item}, paths from the root ("/a/b")."""
        items = [i for i in self.items(user_id) if not i.get("deleted")]
        by_id = {i["fileId"]: i for i in items}
        out = {}
        for i in items:
            parts, cur = [], i
            for _ in range(64):
                parts.append(cur["name"])
                parent = cur.get("parentId") or ""
                if parent == "" or parent not in by_id:
                    break
                cur = by_id[parent]
            if (cur.get("parentId") or "") == "":
                out["/" + "/".join(reversed(parts))] = i
        return out
