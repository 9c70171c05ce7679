"""olsr-kavond's NetJSON and Prometheus outputs on the simulated mesh, checked with their
consumers' own tools and number by number against the node's own documents."""
import glob, json, math, os, re, subprocess, sys, tempfile, time, unittest
from pathlib import Path

from harness import BUILD_DIR, KAVOND, SOURCE_DIR

sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
sys.path.append("/usr/lib/python3/dist-packages")  # Debian's jsonschema, for a python3 of its own
import jsonschema, mesh  # noqa: E402

SCHEMAS = os.environ.get("TARVIK_NETJSON_SCHEMAS") or os.path.join(SOURCE_DIR, "..", "shared", "netjson")
SAMPLE = re.compile(r'^(\w+)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')
PROTOCOLS = {"olsrv1": "olsr1", "olsrv2": "olsr2"}

# name, node, changes made before the forms are taken (undone after), the
# daemons whose graphs the collection holds
SCENARIOS = [
    ("both daemons", "node2", [], ["olsrv1", "olsrv2"]),
    ("olsrd alone", "node3", [], ["olsrv1"]),
    ("olsrd2 alone", "node1", ["stop olsrd"], ["olsrv2"]),
    ("no daemon", "node1", ["stop olsrd", "stop olsrd2"], []),
    ("a link of quality 0", "node3", ["zero quality"], ["olsrv1"]),
    ("no local-port, no zistad", "node2", ["no local-port", "no zistad"], ["olsrv1", "olsrv2"]),
    ("empty ARP table", "node2", ["flush arp"], ["olsrv1", "olsrv2"]),
]


def prometheus(text):
    """{(name, frozenset of labels): value} of an exposition text."""
    return {(m[1], frozenset(LABEL.findall(m[2] or ""))): float(m[3])
            for m in map(SAMPLE.match, text.splitlines()) if m}


def doc_links(docs):
    """(protocol, mac, address, record) of each neighbour of the neighbours document."""
    return [(p, mac, r[f"{k}_ip"], r) for i in docs["neighbours"]["batadv"].values()
            for mac, r in i["neighbours"].items() for p, k in PROTOCOLS.items() if f"{k}_ip" in r]


def running(docs):
    software = docs["nodeinfo"]["software"]
    return {p: software[k] for p, k in PROTOCOLS.items() if software.get(k, {}).get("running")}


def traffic(docs):
    t = docs["statistics"]["traffic"] or {}
    return {("local-port", f"{w}_{c}"): v for w, counters in t.items() for c, v in counters.items()}


def series(forms, name, key=lambda l: (l["daemon"], l["mac"], l["address"])):
    return {key(dict(labels)): v for (n, labels), v in forms["prom"].items() if n == "olsr_kavond_" + name}


def graph_links(forms, value):
    return {(g["protocol"], l["properties"]["mac"], l["target"]): value(l)
            for g in forms["graph"]["collection"] for l in g["links"] if value(l) is not None}


INF = lambda v: math.inf if v is None else v  # the documents write an infinite cost as null
WAYS = [("rx", "receive"), ("tx", "transmit")]
# what, from the forms, from the documents
AGREEMENT = [
    ("NetJSON link cost", lambda f: graph_links(f, lambda l: l["cost"]),
     lambda d: {(p, mac, a): r["etx"] for p, mac, a, r in doc_links(d) if r["etx"] is not None}),
    ("NetJSON link tq", lambda f: graph_links(f, lambda l: l["properties"].get("tq")),
     lambda d: {(p, mac, a): r["tq"] for p, mac, a, r in doc_links(d) if "tq" in r and r["etx"] is not None}),
    ("Prometheus link cost", lambda f: series(f, "link_cost"),
     lambda d: {(p, mac, a): INF(r["etx"]) for p, mac, a, r in doc_links(d)}),
    ("Prometheus link tq", lambda f: series(f, "link_tq"),
     lambda d: {(p, mac, a): r["tq"] for p, mac, a, r in doc_links(d) if "tq" in r}),
    ("NetJSON counters", lambda f: {(i["name"], k): v for i in f["monitoring"]["interfaces"]
                                    for k, v in i["statistics"].items()}, traffic),
    ("Prometheus counters", lambda f: {(i, f"{w}_{c}"): v for w, way in WAYS for c in ("bytes", "packets", "dropped", "errors")
                                       for i, v in series(f, f"interface_{way}_{c}_total", lambda l: l["interface"]).items()},
     traffic),
    ("clients", lambda f: [f["monitoring"].get("clients"), series(f, "clients", lambda l: 0).get(0)],
     lambda d: [d["statistics"]["clients"], (d["statistics"]["clients"] or {}).get("total")]),
    ("versions", lambda f: [{g["protocol"]: g["version"] for g in f["graph"]["collection"]},
                            series(f, "info", lambda l: (l["daemon"], l["version"]))],
     lambda d: [{p: s["version"] for p, s in running(d).items()},
                {(p, s["version"]): 1 for p, s in running(d).items()}]),
    ("router ids", lambda f: {g["protocol"]: g["router_id"] for g in f["graph"]["collection"]},
     lambda d: {p: s["addresses"][0] for p, s in running(d).items()}),
]


class StandardForms(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isdir(SCHEMAS):
            message = f"no NetJSON schemas at {SCHEMAS} (shared/ beside the repository, or TARVIK_NETJSON_SCHEMAS)"
            fail = os.environ.get("CI") or os.environ.get("TARVIK_NETJSON_SCHEMAS")
            raise (AssertionError if fail else unittest.SkipTest)(message)
        cls.schemas = {os.path.basename(p)[:-5]: json.loads(Path(p).read_text())
                       for p in glob.glob(os.path.join(SCHEMAS, "*.json"))}
        cls.mesh = mesh.Mesh(build_dir=BUILD_DIR)
        cls.mesh.up()
        cls.addClassCleanup(cls.mesh.down)

    def kavond(self, node, *args, status=0):
        proc = self.mesh.run(node, [KAVOND, *args], timeout=120)
        self.assertEqual(proc.returncode, status, f"{node} olsr-kavond {' '.join(args)}: {proc.stderr}")
        return proc.stdout

    def take(self, node):
        """The documents and forms of `node` in one state (its own traffic moves its counters)."""
        for _ in range(5):
            docs = {n: json.loads(self.kavond(node, n)) for n in ("nodeinfo", "neighbours", "statistics")}
            text = self.kavond(node, "--prometheus")
            with tempfile.TemporaryDirectory(dir=self.mesh.path(node, "/tmp")) as outer:
                self.kavond(node, "--prometheus-textfile", "/tmp/" + os.path.basename(outer))
                self.assertEqual(os.listdir(outer), ["olsr_kavond.prom"])
                textfile = Path(outer, "olsr_kavond.prom").read_text()
            forms = {"graph": json.loads(self.kavond(node, "--netjson", "graph")),
                     "monitoring": json.loads(self.kavond(node, "--netjson", "monitoring")),
                     "text": text, "prom": prometheus(text)}
            if docs["statistics"] == json.loads(self.kavond(node, "statistics")) and textfile == text:
                return docs, forms
        self.fail(f"the counters of {node} never held still, or the textfile differs")

    def change(self, node, what):
        """Makes the change `what` on `node`; returns its undoing."""
        run = lambda ns, *a: mesh.sh("ip", "-n", ns, *a)
        files = {"stop olsrd": "olsrd.pid", "stop olsrd2": "olsrd2.pid", "no zistad": "zistad.sock"}
        if what in files:
            path = self.mesh.path(node, "/var/run/" + files[what])
            os.rename(path, path + ".off")
            return lambda: os.rename(path + ".off", path)
        if what == "no local-port":
            run(node, "link", "set", "local-port", "name", "lp-off")
            return lambda: run(node, "link", "set", "lp-off", "name", "local-port")
        if what == "flush arp":
            run(node, "neigh", "flush", "all")
            return lambda: None
        path = self.mesh.path(node, "/run/standin/olsrd.json")
        before = Path(path).read_text()
        answers = json.loads(before)
        answers["links"]["links"][0]["linkQuality"] = 0.0
        mesh.write_file(path, json.dumps(answers))
        return lambda: mesh.write_file(path, before)

    def validate(self, value, schema, where):
        errors = [e.message for e in jsonschema.Draft4Validator(self.schemas[schema]).iter_errors(value)]
        self.assertEqual(errors, [], f"{where}: {schema}")

    def test_forms_pass_their_consumers_and_agree_with_the_documents(self):
        for name, node, changes, daemons in SCENARIOS:
            with self.subTest(name):
                undo = [self.change(node, what) for what in changes]
                try:
                    docs, forms = self.take(node)
                finally:
                    for u in reversed(undo):
                        u()
                self.validate(forms["graph"], "network-collection", name)
                for graph in forms["graph"]["collection"]:
                    self.validate(graph, "network-graph", name)
                self.validate(forms["monitoring"], "device-monitoring", name)
                self.assertEqual([g["protocol"] for g in forms["graph"]["collection"]], daemons)
                check = subprocess.run(["promtool", "check", "metrics"], input=forms["text"], capture_output=True, text=True)
                self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""), name)
                for what, of_forms, of_docs in AGREEMENT:
                    self.assertEqual(of_forms(forms), of_docs(docs), f"{name}: {what}")

    def test_node_exporter_serves_the_textfile(self):
        node, port = "node1", 9109
        directory = self.mesh.path(node, "/tmp/textfile")
        os.makedirs(directory)
        self.kavond(node, "--prometheus-textfile", "/tmp/textfile")
        expected = prometheus(Path(directory, "olsr_kavond.prom").read_text())
        exporter = subprocess.Popen(self.mesh.enter(node) + [
            "prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{port}",
            "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=/tmp/textfile"], stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (exporter.terminate(), exporter.wait()))
        deadline = time.monotonic() + 30
        while (status := self.mesh.http_get(node, [(port, "/metrics")]))[0] != [200] and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(status[0], [200], status[1])
        scraped = prometheus(status[1][0])
        self.assertTrue(expected)
        self.assertEqual({k: scraped.get(k) for k in expected}, expected)
        self.assertEqual(scraped[("node_textfile_scrape_error", frozenset())], 0)

    def test_usage_and_write_errors(self):
        for args, status in [(["--netjson"], 2), (["--netjson", "graphs"], 2), (["--prometheus", "x"], 2),
                             (["--prometheus-textfile"], 2), (["--prometheus-textfile", "/tmp/none"], 1)]:
            with self.subTest(args):
                self.kavond("node3", *args, status=status)


if __name__ == "__main__":
    unittest.main()
