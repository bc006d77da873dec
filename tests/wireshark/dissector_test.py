#!/usr/bin/python3
"""The Wireshark dissector against the codec: every frame tshark shows must
read as `vci-ident-tool decode --frame` reads the same bytes, field for field,
on a capture of the service, three simulated VCIs and a watching client, and
on hand-made frames, of which the malformed ones must be flagged as such.

usage: dissector_test.py BUILD_DIR    (exit 77: tshark or unshare missing)"""
import json, os, shutil, signal, socket, struct, subprocess, sys, tempfile, time

BUILD = os.path.abspath(sys.argv[1])
TOOLS = os.path.join(BUILD, "tools")
TOOL = os.path.join(TOOLS, "vci-ident-tool")
PLUGIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/wireshark/vci-ident.lua")
# Frame length and element counts are the wire's, not fields of a record.
NOT_FIELDS = {"length", "count"}


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, **kw)


def pairs(value):
    return isinstance(value, list) and bool(value) and isinstance(value[0], tuple)


def dissected(pcap):
    """Per vciident layer of the capture: (frame number, frame bytes, the
    vciident fields in tree order, expert abbreviations)."""
    out = run("tshark", "-n", "-X", "lua_script:" + PLUGIN, "-r", pcap, "-T", "json", "-x", "-Y", "vciident",
              check=True).stdout
    layers = []
    for packet in json.loads(out, object_pairs_hook=lambda p: p):
        layer_list = dict(dict(packet)["_source"])["layers"]
        number = int(dict(dict(layer_list)["frame"])["frame.number"])
        raw = None
        for key, value in layer_list:
            if key == "vciident_raw":
                raw = bytes.fromhex(value[0])
            elif key == "vciident":
                fields, experts = [], []

                def walk(node):
                    for k, v in node:
                        if k == "_ws.expert":
                            experts.extend(kk for kk, _ in v if kk.startswith("vciident."))
                        elif pairs(v):
                            walk(v)
                        elif k.startswith("vciident.") and not k.endswith(("_raw", "_tree")):
                            fields.append((k[9:], v))
                walk(value)
                layers.append((number, raw, fields, experts))
    return layers


def decoded(frame):
    """decode's fields of the frame in document order, or None when it fails."""
    result = run(TOOL, "decode", "--frame", "-", input=frame)
    if result.returncode != 0:
        return None
    fields = []

    def walk(name, value):
        if isinstance(value, dict):
            for k, v in value.items():
                walk(k, v)
        elif isinstance(value, list):
            for v in value:
                walk(name, v)
        elif isinstance(value, bool):
            fields.append((name, "1" if value else "0"))
        else:
            fields.append((name, str(value)))
    walk(None, json.loads(result.stdout))
    return fields


def comparable(fields):
    """tshark's values as decode prints them: numbers shown in hexadecimal as
    decimal, bytes without separators."""
    return [(k, str(int(v, 16)) if v.startswith("0x") else v.replace(":", "").upper() if k in ("contents", "block")
             else v)
            for k, v in fields if k not in NOT_FIELDS]


def check_against_decode(layers, failures):
    for number, raw, fields, experts in layers:
        if not experts or experts == ["vciident.unknown_version"]:
            want = decoded(raw)
            if want != comparable(fields):
                failures.append("frame %d: tshark %s, decode %s" % (number, comparable(fields), want))


# A capture of the world scripts/run.sh shows, made in a private network
# namespace (this script runs itself there with --world).
def world(pcap):
    scratch = tempfile.mkdtemp()
    env = dict(os.environ, VCI_IDENT_REGISTRY=scratch + "/registry.reg")
    home = scratch + "/home"
    os.makedirs(home)
    for args in (["registry", "set", "-", "IdentServiceDefaultLocation", home],
                 ["registry", "set", "-", "LogFileLocation", scratch + "/log"],
                 ["registry", "set-dword", "-", "EnableBluetooth", "0"], ["brand", "set", "KIVO"]):
        run(TOOL, *args, env=env, check=True)
    with open(home + "/ident.ini", "w") as f:
        f.write("[Log]\nLevel = info\n")
    run("ip", "link", "set", "lo", "up", check=True)
    procs = []

    def start(args, stop=signal.SIGTERM, **kw):
        procs.append((subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, **kw), stop))
        return procs[-1][0]
    try:
        dumpcap = start(["dumpcap", "-q", "-i", "lo", "-w", pcap], signal.SIGINT, stderr=subprocess.PIPE, text=True)
        while "File:" not in dumpcap.stderr.readline():
            assert dumpcap.poll() is None, "dumpcap did not start"
        service = start([TOOLS + "/vci-identd"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Until the control port (8098 = 0x1FA2) listens.
        while not any(":1FA2 00000000:0000 0A" in line for line in open("/proc/net/tcp")):
            assert service.poll() is None, "vci-identd did not start"
            time.sleep(0.05)
        # Ctrl-C ends the watch with its unregistration. The VCIs come once
        # it is registered, so that the table reaches it in events.
        watch = start([TOOLS + "/vci-ident", "watch", "--json"], signal.SIGINT, stdout=subprocess.PIPE, text=True)
        watch.stdout.readline()
        start([TOOLS + "/vci-sim", "--count", "3"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Until every VCI is in the table with its details fetched.
        for line in watch.stdout:
            vcis = json.loads(line).get("vcis", [])
            if len(vcis) == 3 and all(v.get("productVersion") for v in vcis):
                break
    finally:
        for proc, stop in reversed(procs[1:]):
            proc.send_signal(stop)
            proc.wait()
        # dumpcap holds the last packets until its buffer is handed over:
        # a marker datagram in the file says that all before it is there.
        marker = b"end of the capture"
        socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(marker, ("127.0.0.1", 9))
        while procs and dumpcap.poll() is None and marker not in open(pcap, "rb").read():
            time.sleep(0.05)
        procs[0][0].send_signal(signal.SIGINT)
        procs[0][0].wait()
        shutil.rmtree(scratch)


# Hand-made frames: IPv4 packets (pcap link type 101) from 127.0.0.1 to
# 127.0.0.2, one TCP connection per case so that no case can shadow another.
def ipv4(proto, payload):
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0, 64, proto, 0,
                       bytes([127, 0, 0, 1]), bytes([127, 0, 0, 2])) + payload


def handmade(pcap):
    frame = lambda body: struct.pack("<I", 4 + len(body)) + body
    encode = lambda record, *opt: run(TOOL, "encode", "--frame", *opt, input=json.dumps(record).encode(),
                                      check=True).stdout
    sessions = {"class": "CSessionList", "result": 0, "version": 1, "sessions": [
        {"class": "CSessionList::CSession", "version": 1, "session": 3, "text1": "tester", "text2": "bench 7",
         "address": "127.0.0.2", "kind": 1, "flag": False}]}
    announce = encode({"class": "CVCIIdentMsg", "version": 3, "serial": 4711, "tokenLow": 1, "tokenHigh": 2,
                       "kind": 4, "moduleState": 0, "sessions": sessions, "sequence": 0, "wireless": True,
                       "apState": 1, "linkQuality": 2, "linkQualityRaw": 55, "signalLevel": -75,
                       "noiseLevel": -90, "moduleType": 7})
    request = encode({"class": "CGetConfigNEW_Send", "version": 1, "key": 16})
    app_list = frame(struct.pack("<IiII", 2114, 0, 1, 1000) + struct.pack("<II", 2113, 0))
    # (transport, port, segments, the expert it must show or None)
    cases = [
        ("udp", 8194, [announce], None),
        ("udp", 8194, [announce[:20]], "length_beyond"),
        ("udp", 8194, [announce[:8] + b"\x09" + announce[9:]], "unknown_version"),
        ("udp", 8194, [frame(struct.pack("<II", 1234, 1))], "unknown_id"),
        ("udp", 8194, [announce[:32] + b"\x7f" + announce[33:]], "count_beyond"),
        ("udp", 8194, [announce[:-1]], "short"),
        ("tcp", 9000, [app_list], "count_beyond"),
        ("tcp", 9004, [frame(struct.pack("<IiII", 2123, 0, 1, 999) + b"abc")], "length_beyond"),
        ("tcp", 9004, [request + request[:6], request[6:]], None),
        ("tcp", 9004, [encode({"class": "CGetConfigNEW_Send", "version": 1, "key": 16}, "--encrypt")], None),
        ("tcp", 9004, [struct.pack("<I", 2) + b"\0" * 8], "length_beyond"),
        ("tcp", 9004, [struct.pack("<I", 0xFFFFFFF0) + request[4:]], "length_beyond"),
        ("tcp", 9004, [request[:7]], "partial"),
    ]
    packets, expected = [], {}
    for n, (transport, port, segments, expert) in enumerate(cases):
        seq = 1000
        for segment in segments:
            if transport == "udp":
                packets.append(ipv4(17, struct.pack(">HHHH", 40000 + n, port, 8 + len(segment), 0) + segment))
            else:
                packets.append(ipv4(6, struct.pack(">HHIIBBHHH", 40000 + n, port, seq, 0, 0x50, 0x18, 65535, 0, 0)
                                    + segment))
                seq += len(segment)
        # Only the last segment completes the case.
        expected[len(packets)] = expert
    with open(pcap, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for i, p in enumerate(packets):
            f.write(struct.pack("<IIII", i, 0, len(p), len(p)) + p)
    return expected


def main():
    if len(sys.argv) > 2 and sys.argv[2] == "--world":
        return world(sys.argv[3])
    if not shutil.which("tshark") or not shutil.which("unshare"):
        print("tshark or unshare missing")
        return 77
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        # The malformed frames: each is flagged with its expert, tshark reads
        # past every one of them, and the well-formed ones read as decode reads them.
        expected = handmade(scratch + "/handmade.pcap")
        layers = dissected(scratch + "/handmade.pcap")
        shown = {}
        for number, raw, fields, experts in layers:
            shown.setdefault(number, []).extend(e[9:] for e in experts)
        for number, expert in expected.items():
            if expert and expert not in shown.get(number, []):
                failures.append("frame %d: expected %s, shown %s" % (number, expert, shown.get(number)))
            if not expert and any(e != "enciphered" for e in shown.get(number, [])):
                failures.append("frame %d: unexpected %s" % (number, shown[number]))
        check_against_decode(layers, failures)

        pcap = scratch + "/world.pcapng"
        run("unshare", "-rn", sys.executable, __file__, BUILD, "--world", pcap, check=True)
        layers = dissected(pcap)
        check_against_decode(layers, failures)
        infos = run("tshark", "-n", "-X", "lua_script:" + PLUGIN, "-r", pcap, "-Y", "vciident", "-T", "fields",
                    "-e", "_ws.col.Info", "-e", "_ws.expert.group", text=True, check=True).stdout
        for text in ("announce 1000 v3 Ethernet", "announce 1002 v3", "register app=", "register reply",
                     "event table 3 VCIs", "GetApplications reply 0 apps", "GetAppComps reply",
                     "GetSysComps reply", "GetConfig key=16", "GetConfig reply key=16 3 values",
                     "unregister session=0x4D2"):
            if text not in infos:
                failures.append("the capture of the world shows no '%s'" % text)
        if "malformed" in infos.lower() or "frame part" in infos:
            failures.append("the capture of the world shows malformed frames:\n" + infos)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


sys.exit(main())
