#!/usr/bin/env python3
"""A station's results collected by the engines factories run: IAP-emu /a /p
on three emulated adapters (one fails its verify) with /log:, /metrics: and
/syslog:, a real prometheus-node-exporter (textfile collector, a private
port) and a real rsyslogd (imuxsock on a private socket, omfile). The scrape
parses with prometheus_client, has no textfile error and counts what the
journal says; rsyslog got one message per result whose JSON is the
journal's record, at info or err. Then the bad inputs: a /metrics: path in a
missing directory stops the run before any adapter is touched, and a
/syslog: path that is no socket is said once while the run goes on.
    collectors.py BIN"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

bin_dir = sys.argv[1]
work = tempfile.mkdtemp()
started = []


def fail(why):
    sys.exit("collectors: " + why)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.1)
    fail("never " + what)


def start(args, **kw):
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    started.append(p)
    return p


firmware = os.path.join(work, "firmware.bin")
with open(firmware, "wb") as f:
    f.write(os.urandom(20 * 1024))
updater = os.path.join(work, "IAP-emu")
subprocess.run([os.path.join(bin_dir, "brisklink-pack"), "build", "--updater",
                os.path.join(bin_dir, "IAP-emu"), "--internal", firmware, "--version", "2.1.0",
                "--ap", "3F27:1004:01", "--iap", "3F27:1005:00", "-o", updater],
               check=True, capture_output=True)
emu = subprocess.Popen([os.path.join(bin_dir, "brisklink-emu"), "--port", "0", "--adapters", "3",
                        "--version", "1.0.0", "--fault-adapter", "2", "--fault-fail-verify", "100",
                        "--verbose"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
started.append(emu)
address = emu.stdout.readline().strip().rsplit(" ", 1)[-1]
env = dict(os.environ, BRISKLINK_EMULATOR=address)

textfiles = os.path.join(work, "textfiles")
os.mkdir(textfiles)
port = free_port()
start(["prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{port}",
       "--collector.disable-defaults", "--collector.textfile",
       f"--collector.textfile.directory={textfiles}"])
log_socket, received = os.path.join(work, "log.sock"), os.path.join(work, "received.log")
with open(os.path.join(work, "rsyslog.conf"), "w") as conf:
    conf.write(f'''global(workDirectory="{work}")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="{log_socket}")
template(name="line" type="string" string="%syslogseverity-text% %programname% %msg%\\n")
if $programname == "brisklink" then action(type="omfile" file="{received}" template="line")
''')
start(["rsyslogd", "-n", "-f", os.path.join(work, "rsyslog.conf"), "-i",
       os.path.join(work, "rsyslog.pid")])
try:
    wait_for(lambda: os.path.exists(log_socket), 10, "saw rsyslogd's socket")
    journal = os.path.join(work, "journal.jsonl")
    run = subprocess.run([updater, "/a", "/p", "/station:line-7", "/log:" + journal,
                          "/metrics:" + os.path.join(textfiles, "brisklink.prom"),
                          "/syslog:" + log_socket], env=env, capture_output=True, text=True)
    if run.returncode != 1 or "3 adapters: 2 updated, 0 already current, 1 failed" not in run.stdout:
        fail(f"the batch: exit {run.returncode}\n{run.stdout}{run.stderr}")
    records = [json.loads(line) for line in open(journal)]

    def scrape():
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as r:
            return {(s.name, tuple(sorted(s.labels.items()))): s.value
                    for family in text_string_to_metric_families(r.read().decode())
                    for s in family.samples}
    wait_for(lambda: any(k[0] == "node_textfile_scrape_error" for k in scrape()), 10,
             "scraped node_exporter")
    got = scrape()
    value = lambda name, **labels: got.get((name, tuple(sorted(labels.items()))))
    station = {"station": "line-7"}
    checks = {
        "node_textfile_scrape_error": (value("node_textfile_scrape_error"), 0),
        "updated": (value("brisklink_results_total", **station, status="updated"), 2),
        "failed": (value("brisklink_results_total", **station, status="failed"), 1),
        "running": (value("brisklink_adapters_running", **station), 0),
        "durations": (value("brisklink_update_duration_seconds_count", **station), 3),
    }
    for r in records:
        checks[r["location"]] = (value("brisklink_adapter_info", **station, location=r["location"],
                                       serial=r["serial"], status=r["status"],
                                       version=r["after"] or ""), 1)
    wrong = {k: v for k, v in checks.items() if v[0] != v[1]}
    if wrong or len(records) != 3:
        fail(f"the scrape differs from the journal: {wrong}\n{records}")

    wait_for(lambda: os.path.exists(received) and len(open(received).readlines()) >= 3, 10,
             "got three results in rsyslog")
    messages = {}
    for line in open(received):
        severity, program, text = line.rstrip("\n").split(" ", 2)
        record = json.loads(text.split("@cee: ", 1)[1])
        messages[record["location"]] = (severity, program, record)
    for r in records:
        expected = ("info" if r["ok"] else "err", "brisklink", r)
        if messages.get(r["location"]) != expected:
            fail(f"rsyslog got {messages.get(r['location'])}, the journal {r}")

    # Bad inputs.
    run = subprocess.run([updater, "/a", "/p", "/metrics:" + os.path.join(work, "none", "x.prom")],
                         env=env, capture_output=True, text=True)
    if run.returncode != 1 or "cannot be written" not in run.stderr or "Connecting" in run.stdout:
        fail(f"a /metrics: in a missing directory: exit {run.returncode}\n{run.stdout}{run.stderr}")
    plain = os.path.join(work, "plain")
    open(plain, "w").close()
    run = subprocess.run([updater, "/a", "/c", "/syslog:" + plain], env=env, capture_output=True,
                         text=True)
    if run.returncode != 0 or run.stderr.count("is not a socket") != 1:
        fail(f"/syslog: on a file: exit {run.returncode}\n{run.stdout}{run.stderr}")
finally:
    for p in started:
        p.terminate()
        p.wait()
print("collectors: node_exporter and rsyslog got what the journal has; a bad /metrics: stops the "
      "run, a bad /syslog: is said once")
