"""Faults the soak arms at the local service before a command: for each command the
service paths it uses, and the kinds of fault (see `ostrel_localsvc --help`)."""

import re

PATHS = {
    "put": ["/xsvr/newFile/", "/xsvr/requestUpload/", "/xsvr/setModTime/", "/wf/upload", "/blk/uploadMetadata",
            "/blk/uploadBlock", "/xsvr/commit/", "/xsvr/dir/"],
    "get": ["/xsvr/requestDownload/", "/blk/downloadMetadata", "/blk/downloadBlock", "/wf/download", "/xsvr/dir/"],
    "edit": ["/xsvr/requestDownload/", "/blk/downloadBlock", "/wf/download", "/xsvr/requestUpload/",
             "/xsvr/commit/", "/blk/uploadBlock", "/wf/upload", "/xsvr/dir/"],
    "ls": ["/xsvr/dir/", "/xsvr/getMaxVers/", "/xsvr/asmGetAllSharedFiles/"],
    "mkdir": ["/xsvr/newFolder/", "/xsvr/dir/"],
    "rename": ["/xsvr/rename/", "/xsvr/dir/"],
    "mv": ["/xsvr/move/", "/xsvr/dir/"],
    "rm": ["/xsvr/delete/", "/xsvr/deleteEx/", "/xsvr/dir/"],
    "restore": ["/xsvr/recover/", "/xsvr/getRecycle/"],
    "search": ["/xsvr/fullTextSearch"],
}

# A command in the view of items shared with the user (--shared-to-me) also lists the
# sharers' items to find its path.
SHARED_PATHS = ["/xsvr/asmGetAllSharedFiles/"]

# The transfer paths of the other protocol than the service's are never asked for.
ONLY_V2 = {"/wf/upload", "/wf/download"}
ONLY_V3 = {"/blk/uploadMetadata", "/blk/uploadBlock", "/xsvr/commit/", "/blk/downloadMetadata",
           "/blk/downloadBlock"}


# Every result word the service answers with, but "ok".
WORDS = ["clientBadParams", "clientNoMethod", "accountNotActive", "permissionDenied", "serverDenyReadOnly",
         "clientTokenExpired", "methodVersionNotMatch", "accountNotMatch", "clientNoLogin", "targetExist",
         "targetNotExist", "parentNotExist", "fileVerConflict", "overSpace", "badStub", "uploadError",
         "emptyFile", "fileMissInAgent"]

# A word that ends the client's session or marks the client too old is drawn less often:
# the run would mostly measure signing in again.
RARE = {"accountNotActive", "methodVersionNotMatch", "accountNotMatch", "clientNoLogin"}


def arm(run, client, command, acc=None, shared=False):
    """Arms one fault for the command and returns a short description of it (None when
    nothing was armed). acc: the account whose items the command works on (the client's
    own unless given); shared: the command names its items in the view of items shared
    with the client."""
    rng = run.rng
    acc = acc or client.account
    skip = ONLY_V3 if run.global_version == 2 else ONLY_V2
    paths = [p for p in dict.fromkeys(PATHS.get(command, []) + (SHARED_PATHS if shared else [])) if p not in skip]
    if not paths:
        return None
    kind = rng.choices(["word", "result", "status", "delay", "drop", "corrupt", "token"],
                       [4, 3, 3, 2, 2, 1, 1])[0]
    path = rng.choice(paths)
    count = rng.choice([1, 1, 1, 2, 5])
    if kind in ("word", "result"):
        word = rng.choice(WORDS)
        if word in RARE and rng.random() < 0.7:
            word = "fileVerConflict"
        fault = {"path": path, "count": count, kind: word}
    elif kind == "status":
        fault = {"path": path, "count": count, "status": rng.choice([500, 502, 503, 504])}
    elif kind == "delay":
        fault = {"path": path, "count": count, "delay_ms": rng.choice([50, 300, 1500])}
        run.armed_delay_ms = fault["delay_ms"]
    elif kind == "drop":
        fault = {"path": path, "count": count, "drop": True}
    elif kind == "corrupt":
        files = [p for p in acc.tree if acc.tree[p] is not None]
        tree = run.service.tree(acc.user_id)
        if not files:
            return None
        target = getattr(client, "pending_get", None)
        path = target[0] if target else rng.choice(sorted(files))
        if path not in tree:
            return None
        run.service.corrupt(tree[path]["fileId"], 1, rng.choice([1, 2, 8]))
        return "corrupt block 1 of %s" % path
    else:
        token = getattr(client, "token", None)
        if not token:
            return None
        run.service.expire_token(token)
        return "expired token"
    run.service.inject([fault])
    return "%s" % fault


def last_token(run):
    tokens = []
    for req in run.service.log():
        body = req.get("body") or ""
        if isinstance(body, str):
            tokens += re.findall(r"<token>([^<]+)</token>", body)
    return tokens[-1] if tokens else None
