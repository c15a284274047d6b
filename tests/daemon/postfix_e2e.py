#!/usr/bin/env python3
"""ascand behind a real Postfix: the bundled samples sent through SMTP with
swaks, delivered with the X-Spam-* headers, rejected with a 5xx reply once a
reload sets a reject score, and every message sent counted as delivered or
rejected.

usage: postfix_e2e.py ASCAND ASCAN MODULES SAMPLES
Exit 0 passed, 1 failed, 77 skipped (no root or no Postfix: says why).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mailrig  # noqa: E402


def swaks(port, path):
    """Sends one file with swaks; returns the final reply (code, text)."""
    r = subprocess.run(["swaks", "--server", "127.0.0.1", "--port", str(port), "--from", "sender@example.org",
                        "--to", "user@" + mailrig.DOMAIN, "--data", path, "--timeout", "120"],
                       capture_output=True, text=True, errors="replace", timeout=180)
    replies = [line for line in r.stdout.splitlines() if line.startswith(("<- ", "<~ ", "<**"))]
    # The reply to the end of DATA is the last one before QUIT's 221.
    replies = [line for line in replies if not re.match(r"<.. *221 ", line)]
    last = replies[-1] if replies else "<** 000 no reply"
    m = re.match(r"<.. *(\d{3})[ -](.*)", last)
    return (int(m.group(1)), m.group(2)) if m else (0, last)


def milter_view(delivered):
    """The bytes ascand was given for a delivered message, rebuilt from the
    Maildir file. Delivery put Return-Path, X-Original-To and Delivered-To on
    top, and Postfix its own Received field, which it does not hand to the
    milter; our X-Spam-* fields close the header. The milter gets each field
    as name and value, less the one space after the colon, and ascand joins
    them as "name: value" CRLF; folded lines keep their bare LF; the body
    comes with CRLF line ends."""
    with open(delivered, "rb") as f:
        head, _, body = f.read().partition(b"\n\n")
    fields = []
    for line in head.split(b"\n"):
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1] += b"\n" + line
        else:
            fields.append(line)
    while fields and re.match(rb"(?i)(Return-Path|X-Original-To|Delivered-To):", fields[0]):
        fields.pop(0)
    if fields and re.match(rb"Received: .*\n\tby mx\.%s \(Postfix\)" % mailrig.DOMAIN.encode(), fields[0]):
        fields.pop(0)
    while fields and re.match(rb"(?i)X-Spam-(Flag|Score|Status):", fields[-1]):
        fields.pop()
    out = []
    for field in fields:
        name, _, value = field.partition(b":")
        out.append(name + b": " + (value[1:] if value[:1] == b" " else value) + b"\r\n")
    return b"".join(out) + b"\r\n" + body.replace(b"\n", b"\r\n")


def spam_fields(data):
    """The X-Spam-* fields of a message as they are written, folding kept,
    line ends as LF."""
    head = re.split(rb"\r?\n\r?\n", data, 1)[0].replace(b"\r\n", b"\n") + b"\n"
    return re.findall(rb"(?im)^X-Spam-[^\n]*\n(?:[ \t][^\n]*\n)*", head)


def subject_of(path):
    with open(path, "rb") as f:
        m = re.search(rb"^Subject:[ \t]*(.*)$", f.read(), re.M | re.I)
    return m.group(1).decode("utf-8", "replace").strip() if m else ""


def main():
    why = mailrig.missing_prerequisites() or (None if shutil.which("swaks") else "swaks is not installed")
    if why:
        print("skipped: " + why)
        return mailrig.SKIP
    ascand_bin, ascan_bin, modules, samples = sys.argv[1:5]
    t = mailrig.Checks()
    ws = mailrig.Workspace("ascand-e2e-")
    daemon = postfix = None
    try:
        # A model trained on the samples, and ascan's own verdicts to compare with.
        model = ws.path("model.bin")
        subprocess.run([ascan_bin, "train", "--spam", samples + "/spam", "--ham", samples + "/ham", "-o", model],
                       check=True, capture_output=True)
        with open(ws.path("settings.ini"), "w") as f:
            f.write("[EmlBayesFilter]\nModelPath = %s\n" % model)
        files = sorted(os.path.join(d, n) for d in (samples + "/ham", samples + "/spam") for n in os.listdir(d))
        scan = subprocess.run([ascan_bin, "scan", "--modules", modules, "--config", ws.path("settings.ini")] + files,
                              capture_output=True, text=True)
        expected = {json.loads(line)["path"]: json.loads(line) for line in scan.stdout.splitlines()}

        # Extra messages: one over the size cap, one with a forged verdict, and
        # one with the header forms the milter protocol reshapes (folded lines,
        # no space or several after the colon, a tab, an empty value).
        big = ws.path("big.eml")
        with open(big, "w") as f:
            f.write("From: big@example.org\nTo: user@%s\nSubject: big attachment\n\n" % mailrig.DOMAIN)
            f.write(("x" * 76 + "\n") * 1400)
        forged = ws.path("forged.eml")
        with open(files[0]) as src, open(forged, "w") as f:
            f.write("X-Spam-Flag: YES\nX-Spam-Status: Yes, forged\n" + src.read().replace("Subject:", "Subject: forged", 1))
        shapes = ws.path("shapes.eml")
        with open(files[1]) as src, open(shapes, "w") as f:
            f.write("X-Folded: one\n\ttwo\n   three\nKeywords:tight\nComments:    wide\nX-Tab:\ttabbed\nX-Empty:\n"
                    "X-Late:\n  on the next line\n" + src.read().replace("Subject:", "Subject: shapes", 1))

        daemon = mailrig.Ascand(ws, ascand_bin, modules, settings=ws.path("settings.ini"), max_message_size="64K")
        postfix = mailrig.Postfix(ws, daemon.milter)
        daemon.start()
        postfix.start()

        # Pass 1: no reject score. Everything is delivered with our headers.
        sent = files + [big, forged, shapes]
        for path in sent:
            code, text = swaks(postfix.port, path)
            t.check("accepted: " + os.path.basename(path), code == 250, "%d %s" % (code, text))
        mailrig.wait_for(lambda: len(postfix.delivered()) >= len(sent) and postfix.queued() == 0, 60)
        delivered = {subject_of(p): p for p in postfix.delivered()}
        t.check("every message delivered once", len(postfix.delivered()) == len(sent) and postfix.queued() == 0,
                "%d delivered, %d queued of %d" % (len(postfix.delivered()), postfix.queued(), len(sent)))

        scores = {}
        for path in files + [shapes, forged]:
            got = delivered.get(subject_of(path))
            if not t.check("delivered: " + os.path.basename(path), got is not None):
                continue
            fields = [f for f in mailrig.headers_of(got) if f[0].lower().startswith("x-spam-")]
            names = sorted(n.lower() for n, _ in fields)
            t.check("one of each X-Spam header: " + os.path.basename(path),
                    names == ["x-spam-flag", "x-spam-score", "x-spam-status"], repr(fields))
            values = {n.lower(): v for n, v in fields}
            if path == forged:
                t.check("forged verdict replaced", "forged" not in values.get("x-spam-status", "forged"), repr(fields))
                continue
            if path in expected:
                want = expected[path]
                flag = "YES" if want["verdict"] == "spam" else "NO"
                t.check("verdict as ascan's: " + os.path.basename(path), values.get("x-spam-flag") == flag,
                        "%r, ascan says %s" % (fields, want["verdict"]))
                try:
                    scores[path] = float(values.get("x-spam-score", "nan"))
                except ValueError:
                    scores[path] = float("nan")
            # The reference: ascan filter on exactly the bytes the milter saw.
            with open(got, "rb") as f:
                delivered_fields = spam_fields(f.read())
            r = subprocess.run([ascan_bin, "filter", "--modules", modules, "--config", ws.path("settings.ini")],
                               input=milter_view(got), capture_output=True)
            t.check("X-Spam fields as ascan filter writes them: " + os.path.basename(path),
                    delivered_fields == spam_fields(r.stdout) and len(delivered_fields) == 3,
                    "%r vs %r" % (delivered_fields, spam_fields(r.stdout)))
        big_fields = dict((n.lower(), v) for n, v in mailrig.headers_of(delivered.get("big attachment", big)))
        t.check("oversized message marked not scanned", "not scanned" in big_fields.get("x-spam-status", ""),
                repr(big_fields.get("x-spam-status")))
        t.check("oversized message has no verdict", "x-spam-flag" not in big_fields)

        # Pass 2: a reload sets a reject score between the ham and the spam.
        ham = [scores[p] for p in scores if expected[p]["verdict"] == "ham"]
        spam = [scores[p] for p in scores if expected[p]["verdict"] == "spam"]
        if t.check("samples separate ham from spam", ham and spam and max(ham) < min(spam), "%r %r" % (ham, spam)):
            reject = (max(ham) + min(spam)) / 2
            daemon.keys["reject_score"] = "%.4f" % reject
            daemon.write_conf()
            reloads = daemon.log().count("info: reloaded")
            daemon.signal(signal.SIGHUP)
            t.check("reload logged", mailrig.wait_for(lambda: daemon.log().count("info: reloaded") > reloads, 30),
                    daemon.log()[-2000:])
            before = len(postfix.delivered())
            rejected = 0
            for path in files:
                code, text = swaks(postfix.port, path)
                if scores[path] >= reject:
                    rejected += 1
                    t.check("rejected with 5xx: " + os.path.basename(path), code == 550 and "5.7.1" in text,
                            "%d %s" % (code, text))
                else:
                    t.check("accepted after reload: " + os.path.basename(path), code == 250, "%d %s" % (code, text))
            mailrig.wait_for(lambda: len(postfix.delivered()) >= before + len(files) - rejected, 60)
            time.sleep(0.5)
            t.check("nothing lost: delivered + rejected == sent",
                    len(postfix.delivered()) - before + rejected == len(files) and postfix.queued() == 0,
                    "%d delivered, %d rejected, %d queued of %d" % (len(postfix.delivered()) - before, rejected,
                                                                   postfix.queued(), len(files)))

        status = daemon.stop()
        t.check("ascand stops cleanly on SIGTERM", status == 0, "exit %s\n%s" % (status, daemon.log()[-3000:]))
        t.check("no error logged", " error: " not in daemon.log(), daemon.log()[-3000:])
    finally:
        mailrig.tear_down(postfix, daemon, t.failed)
        ws.cleanup()
    return t.finish()


if __name__ == "__main__":
    sys.exit(main())
