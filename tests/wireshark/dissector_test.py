#!/usr/bin/python3
"""dissector_test.py BUILD_DIR: every frame tshark shows reads as `vci-ident-tool decode --frame` reads its
bytes, on a capture of the service, three simulated VCIs and a watch, and on hand-made frames, whose
malformed ones carry their expert info. Exit 77: tshark or unshare missing."""
import json, os, shutil, signal, socket, struct, subprocess, sys, tempfile, time

BUILD = os.path.abspath(sys.argv[1])
TOOLS = os.path.join(BUILD, "tools")
TOOL = os.path.join(TOOLS, "vci-ident-tool")
PLUGIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/wireshark/vci-ident.lua")


run = lambda *args, **kw: subprocess.run(args, capture_output=True, **kw)
pairs = lambda value: isinstance(value, list) and bool(value) and isinstance(value[0], tuple)


def dissected(pcap):
    """Per vciident layer: (frame number, frame bytes, fields in tree order, experts)."""
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
        if isinstance(value, (dict, list)):
            for k, v in value.items() if isinstance(value, dict) else ((name, v) for v in value):
                walk(k, v)
        else:
            fields.append((name, str(int(value)) if isinstance(value, bool) else str(value)))
    walk(None, json.loads(result.stdout))
    return fields


def check_against_decode(layers, failures):
    for number, raw, fields, experts in layers:
        # tshark's values as decode prints them; frame length and counts are the wire's, not a record's.
        shown = [(k, str(int(v, 16)) if v.startswith("0x") else v.replace(":", "").upper() if k in ("contents", "block")
                  else v) for k, v in fields if k not in ("length", "count")]
        # A record of an older version carries fewer fields (a query's registration of version 1):
        # decode prints the rest with their defaults after them.
        fromDecode = decoded(raw)
        if (not experts or experts == ["vciident.unknown_version"]) and (fromDecode is None or fromDecode[:len(shown)] != shown):
            failures.append("frame %d: tshark %s, decode %s" % (number, shown, fromDecode))


# A capture of the world scripts/run.sh shows, made in a private network
# namespace (this script runs itself there with --world).
def world(pcap):
    scratch = tempfile.mkdtemp()
    env, home = dict(os.environ, VCI_IDENT_REGISTRY=scratch + "/registry.reg"), scratch + "/home"
    os.makedirs(home)
    for args in (["registry", "set", "-", "IdentServiceDefaultLocation", home],
                 ["registry", "set", "-", "LogFileLocation", scratch + "/log"],
                 ["registry", "set-dword", "-", "EnableBluetooth", "0"], ["brand", "set", "KIVO"]):
        run(TOOL, *args, env=env, check=True)
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
        for n, (proc, stop) in reversed(list(enumerate(procs))):
            # dumpcap holds the last packets until its buffer is handed
            # over: a marker datagram in the file says all before it is there.
            marker = b"end of the capture"
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(marker, ("127.0.0.1", 9))
            while n == 0 and proc.poll() is None and marker not in open(pcap, "rb").read():
                time.sleep(0.05)
            proc.send_signal(stop)
            proc.wait()
        shutil.rmtree(scratch)


# Hand-made frames: IPv4 packets (pcap link type 101) from 127.0.0.1 to
# 127.0.0.2, a connection per case so that no case can shadow another.
def handmade(pcap):
    ipv4 = lambda proto, payload: struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0, 64, proto, 0,
                                              bytes([127, 0, 0, 1]), bytes([127, 0, 0, 2])) + payload
    frame = lambda body: struct.pack("<I", 4 + len(body)) + body
    encode = lambda record, *opt: run(TOOL, "encode", "--frame", *opt, input=json.dumps(record).encode(),
                                      check=True).stdout
    sessions = {"class": "CSessionList", "result": 0, "version": 1, "sessions": [{"class": "CSessionList::CSession",
                "version": 1, "session": 3, "text1": "tester", "text2": "b\u00e4nch", "address": "", "kind": 1, "flag": True}]}
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
            packets.append(ipv4(17, struct.pack(">HHHH", 40000 + n, port, 8 + len(segment), 0) + segment)
                           if transport == "udp" else
                           ipv4(6, struct.pack(">HHIIBBHHH", 40000 + n, port, seq, 0, 0x50, 0x18, 65535, 0, 0) + segment))
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
        for number, _, _, experts in layers:
            shown.setdefault(number, []).extend(e[9:] for e in experts)
        for number, expert in expected.items():
            if expert and expert not in shown.get(number, []):
                failures.append("frame %d: expected %s, shown %s" % (number, expert, shown.get(number)))
            if not expert and any(e != "enciphered" for e in shown.get(number, [])):
                failures.append("frame %d: unexpected %s" % (number, shown[number]))
        check_against_decode(layers, failures)

        pcap = scratch + "/world.pcapng"
        run("unshare", "-rn", sys.executable, __file__, BUILD, "--world", pcap, check=True)
        check_against_decode(dissected(pcap), failures)
        tshark = lambda shown: run("tshark", "-n", "-X", "lua_script:" + PLUGIN, "-r", pcap, "-Y", shown, "-T",
                                   "fields", "-e", "_ws.col.Info", text=True, check=True).stdout
        infos = tshark("vciident")
        for text in ("announce 1000 v3 Ethernet", "announce 1002 v3", "register app=", "register reply",
                     "event table 3 VCIs", "GetApplications reply 0 apps", "GetAppComps reply",
                     "GetSysComps reply", "GetConfig key=16", "GetConfig reply key=16 3 values",
                     "unregister session=0x4D2"):
            if text not in infos:
                failures.append("the capture of the world shows no '%s'" % text)
        malformed = tshark("_ws.expert.group == 0x07000000 || vciident.partial")
        if malformed:
            failures.append("the capture of the world shows malformed frames:\n" + malformed)
    print("\n".join(failures))
    return 1 if failures else 0


sys.exit(main())
