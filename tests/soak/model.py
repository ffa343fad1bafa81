"""What the driver expects an account's tree to hold: {path: bytes} for files and
{path: None} for folders, paths from the root ("/Docs/a.txt"; the root itself is not
held). Trees are plain dicts, so an operation's outcome is a new dict that the driver
compares with the service's tree."""

import hashlib


# A file item the service made for an upload that never delivered its content (the
# upload failed, and the client said so): listed, with no content and no SHA-1.
PLACEHOLDER = "placeholder"


def sha1(data):
    return hashlib.sha1(data).hexdigest()


def parent(path):
    return path.rsplit("/", 1)[0] or "/"


def name(path):
    return path.rsplit("/", 1)[1]


def join(folder, child):
    return (folder.rstrip("/") + "/" + child) if folder != "/" else "/" + child


def subtree(tree, path):
    """path and everything under it."""
    pre = path + "/"
    return {p: v for p, v in tree.items() if p == path or p.startswith(pre)}


def moved(tree, src, dst):
    """The tree with src (and what it holds) at dst."""
    out = {p: v for p, v in tree.items() if not (p == src or p.startswith(src + "/"))}
    for p, v in subtree(tree, src).items():
        out[dst + p[len(src):]] = v
    return out


def removed(tree, path):
    return {p: v for p, v in tree.items() if not (p == path or p.startswith(path + "/"))}


def folders(tree):
    return ["/"] + sorted(p for p, v in tree.items() if v is None)


def files(tree):
    """The files with content (no placeholders)."""
    return sorted(p for p, v in tree.items() if isinstance(v, bytes))


def with_placeholders(before, after):
    """after, with a placeholder at every file whose content the command was to change."""
    out = dict(after)
    for p, v in after.items():
        if isinstance(v, bytes) and before.get(p) != v:
            out[p] = PLACEHOLDER
    return out


def without_replaced(before, after):
    """before, without every file the command was to replace by new content: a replace
    moves the old file to the recycle bin first and uploads the new one after, so a
    replace cut in between leaves neither."""
    return {p: v for p, v in before.items()
            if not (isinstance(v, bytes) and isinstance(after.get(p), bytes) and after[p] != v)}


def children(tree, folder):
    return sorted(name(p) for p in tree if parent(p) == folder)


def signature(tree):
    """{path: "folder" | sha1 of the bytes}: what the service's tree can be compared with."""
    return {p: ("folder" if v is None else "" if v == PLACEHOLDER else sha1(v)) for p, v in tree.items()}


def service_signature(service_tree):
    return {p: ("folder" if i["type"] == "folder" else i["sha1"]) for p, i in service_tree.items()}


def describe_difference(want, got):
    lines = []
    for p in sorted(set(want) | set(got)):
        if want.get(p) != got.get(p):
            lines.append("  %s: expected %s, found %s" % (p, want.get(p, "nothing"), got.get(p, "nothing")))
    return "\n".join(lines[:20])
