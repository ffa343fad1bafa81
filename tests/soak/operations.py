"""The soak's operations: each draws one command for a client from the run's generator
and says what the account's tree must be after it. An operation reads the trees and
changes nothing: it returns (the command's arguments, the tree after it, the answer to
the prompt about an existing file or None) and leaves in the client's pending_* fields
what the driver checks after the command, and in c.target the account whose tree the
command changes (the client's own, or alice's for bob's commands in her shared folder).

The *_shared operations are bob's, in alice's folder /Shared as he sees it among the
items shared with him ("/alice(...)/Shared/..."): what he writes there is hers."""

import os

import checks
import model as M


class Operations:
    """Mixed into the run (soak.Run), whose generator, trees, service and helpers
    (fresh, content) it uses. put_new, put_changed, edit and get also take the account
    and the folder or file to work on (the *_shared operations give alice's); else they
    draw them from the client's own tree."""

    def op_put_new(self, c, kill, acc=None, folder=None):
        acc = acc or c.account
        folder = folder or self.rng.choice(M.folders(acc.tree))
        fname = self.fresh("f") + ".bin"
        data = self.content()
        src_dir = os.path.join(self.local, self.fresh("up"))
        os.makedirs(src_dir)
        with open(os.path.join(src_dir, fname), "wb") as f:
            f.write(data)
        after = dict(acc.tree)
        after[M.join(folder, fname)] = data
        return ["put", os.path.join(src_dir, fname), folder], after, None

    def op_put_changed(self, c, kill, acc=None, path=None):
        acc = acc or c.account
        files = M.files(acc.tree)
        if not files:
            return self.op_put_new(c, kill)
        path = path or self.rng.choice(files)
        data = self.content()
        src_dir = os.path.join(self.local, self.fresh("up"))
        os.makedirs(src_dir)
        with open(os.path.join(src_dir, M.name(path)), "wb") as f:
            f.write(data)
        after = dict(acc.tree)
        after[path] = data
        # 1 replaces the cloud file (the old one goes to the recycle bin), 2 adds a version.
        return ["put", os.path.join(src_dir, M.name(path)), M.parent(path)], after, self.rng.choice(["1", "2"])

    def edits_left(self):
        # An edit takes seconds (the client waits for the program to let go of the file).
        return not (self.args.max_edits and self.edits >= self.args.max_edits)

    def op_edit(self, c, kill, acc=None, path=None):
        acc = acc or c.account
        files = M.files(acc.tree)
        if not files or not self.edits_left():
            return self.op_put_new(c, kill)
        self.edits += 1
        path = path or self.rng.choice(files)
        token = self.fresh("E").encode()
        after = dict(acc.tree)
        after[path] = acc.tree[path] + token
        self.written.add(M.sha1(after[path]))
        c.next_opener = "%s --append=%s" % (c.editor, token.decode())
        return ["edit", path], after, None

    def op_mkdir(self, c, kill):
        acc = c.account
        folder = self.rng.choice(M.folders(acc.tree))
        path = M.join(folder, self.fresh("d"))
        after = dict(acc.tree)
        after[path] = None
        return ["mkdir", path], after, None

    def movable(self, acc):
        return [p for p in acc.tree if p != "/Shared"]

    def op_rename(self, c, kill):
        acc = c.account
        items = self.movable(acc)
        if not items:
            return self.op_mkdir(c, kill)
        path = self.rng.choice(sorted(items))
        new = self.fresh("r") + ("" if acc.tree[path] is None else ".bin")
        return ["rename", path, new], M.moved(acc.tree, path, M.join(M.parent(path), new)), None

    def op_mv(self, c, kill):
        acc = c.account
        items = self.movable(acc)
        if not items:
            return self.op_mkdir(c, kill)
        path = self.rng.choice(sorted(items))
        dests = [f for f in M.folders(acc.tree)
                 if f != M.parent(path) and f != path and not f.startswith(path + "/")
                 and M.name(path) not in M.children(acc.tree, f)]
        if not dests:
            return self.op_mkdir(c, kill)
        dest = self.rng.choice(dests)
        return ["mv", path, dest], M.moved(acc.tree, path, M.join(dest, M.name(path))), None

    def op_rm(self, c, kill):
        acc = c.account
        items = self.movable(acc)
        if not items:
            return self.op_put_new(c, kill)
        path = self.rng.choice(sorted(items))
        item = self.service.tree(acc.user_id).get(path)
        c.pending_trash = (item["fileId"] if item else None, path, M.subtree(acc.tree, path))
        return ["rm", path], M.removed(acc.tree, path), None

    def op_restore(self, c, kill):
        acc = c.account
        live = {i["fileId"] for i in self.service.items(acc.user_id) if i.get("deleted")}
        usable = [t for t in acc.trash if t[0] in live and M.parent(t[1]) in M.folders(acc.tree)
                  and t[1] not in acc.tree]
        if not usable:
            return self.op_ls(c, kill)
        file_id, path, sub = self.rng.choice(usable)
        after = dict(acc.tree)
        after.update(sub)
        c.pending_restore = (file_id, path, sub)
        return ["restore", file_id], after, None

    def op_ls(self, c, kill):
        acc = c.account
        folder = self.rng.choice(M.folders(acc.tree))
        c.pending_ls = folder
        return ["ls", "--json", "--refresh", folder], dict(acc.tree), None

    def op_ls_shared(self, c, kill):
        """bob lists a folder of alice's shared folder (his view of items shared with him)."""
        folder = self.rng.choice(self.shared_folders())
        c.pending_shared = folder
        return ["ls", "--json", "--refresh", "--shared-to-me", checks.shared_path(folder)], dict(c.account.tree), None

    # --- bob in alice's shared folder ------------------------------------------------------
    # Each works on alice's tree: what bob writes there is hers. c.target names that account.
    def shared_folders(self):
        return [f for f in M.folders(self.alice.tree) if f == "/Shared" or f.startswith("/Shared/")]

    def shared_files(self):
        return [p for p in M.files(self.alice.tree) if p.startswith("/Shared/")]

    def op_put_new_shared(self, c, kill):
        """bob uploads a new file into a folder of alice's shared folder."""
        c.target = self.alice
        args, after, answer = self.op_put_new(c, kill, self.alice, self.rng.choice(self.shared_folders()))
        return ["put", "--shared-to-me", args[1], checks.shared_path(args[2])], after, answer

    def op_put_changed_shared(self, c, kill):
        """bob uploads other content under the name of a file of alice's shared folder."""
        if not self.shared_files():
            return self.op_put_new_shared(c, kill)
        c.target = self.alice
        args, after, answer = self.op_put_changed(c, kill, self.alice, self.rng.choice(self.shared_files()))
        return ["put", "--shared-to-me", args[1], checks.shared_path(args[2])], after, answer

    def op_edit_shared(self, c, kill):
        """bob edits a file of alice's shared folder."""
        if not self.shared_files() or not self.edits_left():
            return self.op_put_new_shared(c, kill)
        c.target = self.alice
        args, after, answer = self.op_edit(c, kill, self.alice, self.rng.choice(self.shared_files()))
        return ["edit", "--shared-to-me", checks.shared_path(args[1])], after, answer

    def op_get_shared(self, c, kill):
        """bob downloads a file of alice's shared folder."""
        if not self.shared_files():
            return self.op_put_new_shared(c, kill)
        c.target = self.alice
        args, after, answer = self.op_get(c, kill, self.alice, self.rng.choice(self.shared_files()))
        return ["get", "--shared-to-me", checks.shared_path(args[1]), args[2]], after, answer

    def op_search(self, c, kill):
        acc = c.account
        items = sorted(acc.tree)
        if not items:
            return self.op_ls(c, kill)
        c.pending_search = M.name(self.rng.choice(items))
        return ["search", "--json", c.pending_search], dict(acc.tree), None

    def op_get(self, c, kill, acc=None, path=None):
        acc = acc or c.account
        files = M.files(acc.tree)
        if not files:
            return self.op_put_new(c, kill)
        path = path or self.rng.choice(files)
        dest = os.path.join(self.local, self.fresh("down"))
        os.makedirs(dest)
        c.pending_get = (path, dest, acc.tree[path])
        return ["get", path, dest], dict(acc.tree), None

    # (operation, weight). The *_shared operations are drawn for bob only.
    OPS = [("put_new", 5), ("put_changed", 3), ("edit", 2), ("mkdir", 2), ("rename", 2), ("mv", 2),
           ("rm", 2), ("restore", 2), ("ls", 3), ("ls_shared", 2), ("search", 1),
           ("get", 4), ("put_new_shared", 8), ("put_changed_shared", 5), ("edit_shared", 2), ("get_shared", 5)]
    KILLABLE = {"put_new", "put_changed", "get", "ls", "put_new_shared", "put_changed_shared", "get_shared"}
