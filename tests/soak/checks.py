"""The checks of the soak run: a listing against the model, a download's local file,
a killed client's disk (its data base, its cache folder, its temp folder at the next
start), and the final agreement of every client, the service and the model."""

import json
import os
import subprocess

import model as M


def listing(run, c, what, folder, out, tree=None):
    """A listing the client answered with success holds what the model holds (tree: the
    model it is read from, the client's own account's by default). A listing that failed
    prints the items it had stored, which may be out of date: its output is not checked."""
    try:
        items = json.loads(out)
    except ValueError:
        run.stats.mismatch(run.seed, "%s %s: the listing is not JSON: %r" % (c.name, what, out[:300]))
        return
    got = sorted(i["name"] + ("/" if i["type"] == "folder" else "") for i in items)
    tree = c.account.tree if tree is None else tree
    want = sorted(M.name(p) + ("/" if tree[p] is None else "") for p in tree if M.parent(p) == folder)
    if got != want:
        run.stats.mismatch(run.seed, "%s %s: listed %s, expected %s" % (c.name, what, got, want))


def download(run, c, what, result):
    """A download leaves its destination folder holding the whole file or nothing; a
    killed one may also leave the empty ".otl" marker that lies beside a running
    download (no process is left to remove it)."""
    path, dest, data = c.pending_get
    fname = M.name(path)
    entries = sorted(os.listdir(dest))
    marker = fname + ".otl"
    if result.killed and marker in entries:
        if os.path.getsize(os.path.join(dest, marker)) != 0:
            run.stats.mismatch(run.seed, "%s %s: the marker %s is not empty" % (c.name, what, marker))
        run.stats.markers += 1
        entries.remove(marker)
    if result.ok and entries != [fname]:
        run.stats.mismatch(run.seed, "%s %s answered success, the folder holds %s" % (c.name, what, entries))
        return
    if not result.ok and entries not in ([], [fname]):
        run.stats.mismatch(run.seed, "%s %s failed; the folder holds %s" % (c.name, what, entries))
        return
    if entries:
        with open(os.path.join(dest, fname), "rb") as f:
            got = f.read()
        if got != data:
            run.stats.mismatch(run.seed, "%s %s: the downloaded file holds %d bytes (sha1 %s), expected %d (%s)" % (
                c.name, what, len(got), M.sha1(got), len(data), M.sha1(data)))


def user_folder(c):
    return os.path.join(c.config, c.user_id)


def integrity(run, c, what):
    for db in c.databases():
        r = subprocess.run(["sqlite3", db, "PRAGMA integrity_check;"], capture_output=True, text=True)
        if r.returncode != 0 or r.stdout.strip() != "ok":
            run.stats.mismatch(run.seed, "%s after %s: %s fails integrity_check: %s %s" % (
                c.name, what, db, r.stdout.strip()[:300], r.stderr.strip()[:300]))


def cache_files(run, c, what):
    """No file in the cache folder holds bytes that no client wrote (a half-written one)."""
    cache = os.path.join(user_folder(c), "Cache")
    for root, dirs, files in os.walk(cache):
        if os.path.relpath(root, cache).split(os.sep)[0] == ".tmp":
            continue
        for f in files:
            p = os.path.join(root, f)
            with open(p, "rb") as fh:
                digest = M.sha1(fh.read())
            if digest not in run.written:
                run.stats.mismatch(run.seed, "%s after %s: %s holds bytes no client wrote (sha1 %s, %d bytes)" % (
                    c.name, what, p, digest, os.path.getsize(p)))


def temp_folder(run, c, what):
    """After a start that follows a kill: only resume folders stay in the temp folder."""
    tmp = os.path.join(user_folder(c), "Cache", ".tmp")
    if not os.path.isdir(tmp):
        return
    entries = sorted(os.listdir(tmp))
    if run.args.verbose:
        print("  temp folder of %s after a new start: %s" % (c.name, entries))
    extra = [e for e in entries if not e.startswith("resume-")]
    if extra:
        run.stats.mismatch(run.seed, "%s after %s and a new start: the temp folder still holds %s" % (
            c.name, what, extra))


def after_kill(run, c, what):
    integrity(run, c, what)
    cache_files(run, c, what)
    # The next start: a command that opens the user's store (and so cleans the temp folder).
    r = c.run("ls", "--json", "/")
    if not r.ok:
        w = c.run("whoami")
        if not w.ok:
            c.login()
            r = c.run("ls", "--json", "/")
    run.service.reset()
    if r.ok:
        temp_folder(run, c, what)
    integrity(run, c, what + " and a new start")


def walk(run, c, base="/", view=()):
    """The client's tree below base as {path relative to base: "folder" | sha1}, listed
    with --refresh (view: extra options such as --shared-to-me)."""
    out, todo = {}, [base]
    while todo:
        folder = todo.pop()
        r = c.run("ls", "--json", "--refresh", *view, folder)
        if not r.ok:
            run.stats.mismatch(run.seed, "%s: the final listing of %s failed: %r" % (c.name, folder, r))
            continue
        for i in json.loads(r.out):
            p = M.join(folder, i["name"])
            rel = "/" + p[len(base):].lstrip("/") if base != "/" else p
            if i["type"] == "folder":
                out[rel] = "folder"
                todo.append(p)
            else:
                out[rel] = i.get("sha1", "")
    return out


def final(run):
    run.service.reset()
    for acc in (run.alice, run.bob):
        want = M.signature(acc.tree)
        svc = run.service_sig(acc)
        if svc != want:
            run.stats.mismatch(run.seed, "at the end the service's tree of %s differs from the model:\n%s" % (
                acc.user, M.describe_difference(want, svc)))
        svc_tree = run.service.tree(acc.user_id)
        for p in M.files(acc.tree):
            if p in svc_tree and run.service.content(svc_tree[p]["fileId"]) != acc.tree[p]:
                run.stats.mismatch(run.seed, "at the end the service holds other bytes for %s of %s" % (p, acc.user))
        for c in acc.clients:
            c.run("whoami").ok or c.login()
            got = walk(run, c)
            if got != want:
                run.stats.mismatch(run.seed, "at the end %s lists other items than the model:\n%s" % (
                    c.name, M.describe_difference(want, got)))
            fetch_all(run, c, acc.tree, M.files(acc.tree))
            integrity(run, c, "the end")
            cache_files(run, c, "the end")
    shared_view(run)


def fetch_all(run, c, tree, paths, view_path=lambda p: p, view=()):
    """Downloads the files at paths (of the model tree) in as few commands as names allow
    (one local folder per command) and compares their bytes with the model. view_path
    gives a model path as the client names it in the view (view: options such as
    --shared-to-me)."""
    batches = []
    for p in paths:
        for batch in batches:
            if all(M.name(q) != M.name(p) for q in batch):
                batch.append(p)
                break
        else:
            batches.append([p])
    for batch in batches:
        dest = os.path.join(run.local, run.fresh("final-" + c.name))
        os.makedirs(dest)
        r = c.run("get", *view, *[view_path(p) for p in batch], dest)
        if not r.ok:
            run.stats.mismatch(run.seed, "at the end %s could not download %s: %r" % (c.name, batch, r))
            continue
        for p in batch:
            target = os.path.join(dest, M.name(p))
            if not os.path.exists(target) or open(target, "rb").read() != tree[p]:
                run.stats.mismatch(run.seed, "at the end %s downloaded other bytes for %s" % (c.name, view_path(p)))


SHARER = "alice(alice@localsvc.test)"


def shared_path(path):
    """A path of alice's tree ("/Shared/a") as bob names it in his view of items shared
    with him."""
    return "/" + SHARER + path


def shared_view(run):
    """bob sees alice's shared folder as alice's model holds it, and downloads its files
    byte for byte."""
    c = run.bob.clients[0]
    r = c.run("ls", "--json", "--refresh", "--shared-to-me")
    names = [i["name"] for i in json.loads(r.out)] if r.ok else []
    if names != [SHARER]:
        run.stats.mismatch(run.seed, "bob's items shared with him: %s (%r)" % (names, r))
        return
    base = shared_path("/Shared")
    got = walk(run, c, base, ("--shared-to-me",))
    want = {p[len("/Shared"):]: v for p, v in M.signature(run.alice.tree).items() if p.startswith("/Shared/")}
    if got != want:
        run.stats.mismatch(run.seed, "at the end bob sees another shared folder than alice's model:\n%s" % (
            M.describe_difference(want, got)))
    shared_files = [p for p in M.files(run.alice.tree) if p.startswith("/Shared/")]
    fetch_all(run, c, run.alice.tree, shared_files, shared_path, ("--shared-to-me",))
    integrity(run, c, "the end")
