#!/usr/bin/env python3
"""Seeds the local service with an account and one folder of N items, over one
connection, and prints the folder's id.

  seed_folder.py PORT USER PASSWORD USERID N

Every tenth item is a folder; files have a size and a SHA-1 text, as a listing of a
real folder shows them.
"""
import hashlib
import http.client
import json
import sys


def main():
    port, user, password, user_id, n = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
    conn = http.client.HTTPConnection("127.0.0.1", int(port))

    def post(path, body):
        conn.request("POST", path, json.dumps(body), {"Content-Type": "application/json"})
        reply = conn.getresponse()
        data = reply.read()
        if reply.status != 200:
            sys.exit(f"seed_folder: {path} refused: {reply.status} {data[:200]!r}")
        return json.loads(data) if data else {}

    post("/test/fs/account", {"user": user, "password": password, "userId": user_id})
    folder = post("/test/fs/item", {"userId": user_id, "name": "Big", "type": "folder"})["fileId"]
    for k in range(n):
        item = {"userId": user_id, "parentId": folder}
        if k % 10 == 0:
            item.update(name=f"folder {k:06d}", type="folder")
        else:
            item.update(name=f"report-{k:06d} O'Hara.pdf", type="file", size=1000003 * k,
                        sha1=hashlib.sha1(str(k).encode()).hexdigest(), modTime="2024-03-06 11:30:00",
                        createdTime="2024-03-05 10:00:00")
        post("/test/fs/item", item)
    print(folder)


if __name__ == "__main__":
    main()
