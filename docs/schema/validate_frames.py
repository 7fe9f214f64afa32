#!/usr/bin/env python3
"""Checks every frame the client library logged (VELMORA_FRAME_LOG_DIR) against the schemas.

validate_frames.py SCHEMA_DIR LOG_DIR [COMMAND...]: with a command, empties LOG_DIR, runs the
command with VELMORA_FRAME_LOG_DIR=LOG_DIR (it must exit 0), then validates LOG_DIR/*.jsonl.

Each file is one client's session, in the order the client saw the frames. The parent's first
frame is checked as a handshake, later ones as requests; responses are checked against the
result of the method their requestId was sent with in the same file. Bytes a test writes raw
are only marked in the log: a response to them is checked as an envelope.

Tests send malformed frames on purpose, so a parent frame that fails its schema passes only when
the helper refused it: it answered that very request with an error response (or with an act
result "ok": false that did not start), or it answered nothing sent from that frame on (no
acknowledgement, no response): the session ended there. An answer to a later frame, or a success,
fails the check. A refused frame that passes its schema is fine (the helper may refuse for reasons
of state); every frame of the helper must pass its schema.
"""
import collections, glob, json, os, shutil, subprocess, sys

try:
    import jsonschema
except ImportError:
    sys.exit("validate_frames.py: python3-jsonschema is missing (tools/setup installs it)")

BASE = "https://schema.velmora.invalid/computer-use/1/"


class Schemas:
    def __init__(self, directory):
        docs = {}
        for path in glob.glob(os.path.join(directory, "**", "*.json"), recursive=True):
            with open(path) as f:
                doc = json.load(f)
            docs[doc["$id"]] = doc
        try:
            from referencing import Registry, Resource
            registry = Registry().with_resources((i, Resource.from_contents(d)) for i, d in docs.items())
            self._make = lambda uri: jsonschema.Draft202012Validator({"$ref": uri}, registry=registry)
        except ImportError:  # jsonschema before 4.18
            resolver = jsonschema.RefResolver(BASE, {}, store=docs)
            self._make = lambda uri: jsonschema.Draft202012Validator({"$ref": uri}, resolver=resolver)
        self._cache = {}
        self.methods = {i[len(BASE + "methods/"):-5] for i in docs if i.startswith(BASE + "methods/")}

    def errors(self, name, value):
        if name not in self._cache:
            self._cache[name] = self._make(BASE + name)
        return [e.message[:200] for e in self._cache[name].iter_errors(value)][:3]


def check_file(path, schemas, totals, failures):
    lines = [json.loads(text) for text in open(path, encoding="utf-8")]
    requests = collections.defaultdict(collections.deque)  # requestId -> (method, index), in order
    suspects = {}  # index of an invalid parent frame -> (where, schema errors)
    sent = 0  # parent frames so far, raw writes included
    raw_sent = False
    for number, line in enumerate(lines, 1):
        where = "%s:%d" % (os.path.basename(path), number)
        if "binary" in line:
            totals["binary"] += 1
            continue
        if "raw" in line:  # bytes sent undecoded, on purpose: their answers are checked as envelopes only
            totals["raw writes"] += 1
            raw_sent, sent = True, sent + 1
            continue
        frame = line["frame"]
        kind = frame.get("type") if isinstance(frame, dict) else None
        if line["toHelper"]:
            totals["to helper"] += 1
            bad = schemas.errors("request.json" if sent else "handshake.json", frame)
            if kind == "request" and isinstance(frame.get("requestId"), str):
                requests[frame["requestId"]].append((frame.get("method"), sent))
            if bad:
                suspects[sent] = (where, bad)
            sent += 1
            continue
        totals["from helper"] += 1
        name = {"handshake_ack": "handshake_ack.json", "heartbeat": "heartbeat.json",
                "response": "response.json", "event": "event.json"}.get(kind)
        if name is None:
            failures.append("%s: helper frame of unknown type %r" % (where, kind))
            continue
        bad = schemas.errors(name, frame)
        answered = 0 if kind == "handshake_ack" else None  # index of the parent frame answered
        if kind == "response" and not bad:
            queue = requests.get(frame["requestId"])
            if queue:
                method, answered = queue.popleft()
                if frame["ok"] and method in schemas.methods:
                    bad = schemas.errors("methods/%s.json#/$defs/result" % method, frame["result"])
            elif raw_sent:
                totals["responses to raw writes"] += 1
            else:
                bad = ["response to a request never sent"]
        if answered is not None:
            refused = kind == "response" and (not frame["ok"] or (
                "executionState" in frame["result"] and not frame["result"]["ok"]))
            for index in [i for i in suspects if i <= answered]:
                suspect_where, errors = suspects.pop(index)
                if index == answered and refused:
                    totals["invalid parent frames refused by an error"] += 1
                else:  # answered ok, or the session went on after it
                    failures.append("%s: invalid parent frame not refused (%s): %s" % (suspect_where, where, errors))
        if bad:
            failures.append("%s: %s frame fails its schema: %s" % (where, kind, bad))
    totals["invalid parent frames that ended the session"] += len(suspects)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    schema_dir, log_dir, command = sys.argv[1], sys.argv[2], sys.argv[3:]
    if command:
        shutil.rmtree(log_dir, ignore_errors=True)
        os.makedirs(log_dir)
        if subprocess.run(command, env=dict(os.environ, VELMORA_FRAME_LOG_DIR=log_dir)).returncode != 0:
            sys.exit("validate_frames.py: the command failed, no frames checked")
    schemas, totals, failures = Schemas(schema_dir), collections.Counter(), []
    files = sorted(glob.glob(os.path.join(log_dir, "*.jsonl")))
    for path in files:
        check_file(path, schemas, totals, failures)
    print("%d sessions: %s" % (len(files), ", ".join("%s %d" % item for item in sorted(totals.items()))))
    for failure in failures[:50]:
        print("FAIL " + failure)
    if failures or not files or not totals["from helper"]:
        sys.exit("validate_frames.py: %d failures" % len(failures))


if __name__ == "__main__":
    main()
