"""The Python package against the service. The client library's test program
runs these (IdentClientPython.*) in its private network namespace, where the
service lists VCI 4711 (127.0.0.2, application Diagnosis 4.2.1, product
version 5.1.2) and its data folder holds notes.txt; the environment names
the library, the README and the programs of the build."""

import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest

import vci_ident

BIN = os.environ["VCI_BIN_DIR"]
GUARD = 60  # seconds; only a broken build comes near it
SIMS = []


def start_sim(serial, address):
    """A simulated VCI, once it is ready. It runs until the tests end, so
    that no VCI goes away while a test waits for one to come."""
    sim = subprocess.Popen([f"{BIN}/vci-sim", "--serial", str(serial), "--address", address, "--interval", "100"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    SIMS.append(sim)
    while "ready" not in sim.stdout.readline():
        pass


def tearDownModule():
    for sim in SIMS:
        sim.terminate()
        sim.wait()


class VciIdentTest(unittest.TestCase):
    def test_the_table_and_a_vci_that_comes(self):
        vci = {vci.serial: vci for vci in vci_ident.list_vcis(client_name="python-test")}[4711]
        self.assertEqual((vci.kinds, vci.addresses, vci.product_version, vci.applications, vci.wireless),
                         (("Ethernet",), (vci_ident.Address("Ethernet", "127.0.0.2"),), "5.1.2",
                          (vci_ident.Software("Diagnosis", "4.2.1"),), vci_ident.Wireless(False, 0, 0, 0, 0, 0)))
        with vci_ident.Client(client_name="python-test") as client:
            self.assertEqual(client.service().product_name, "Identification Service")
            self.assertEqual(client.fetch_data_files()["notes.txt"], b"4711\n")
            start_sim(4712, "127.0.0.3")
            tables = (e.table for e in client.watch(timeout=GUARD) if e.kind == "table")
            self.assertTrue(any(4712 in [v.serial for v in table] for table in tables))

    def test_failures_carry_the_code_and_its_words(self):
        with self.assertRaises(vci_ident.Error) as refused:
            vci_ident.list_vcis(control_port=8099, connect_pause_ms=1)
        self.assertEqual((refused.exception.code, str(refused.exception)),
                         (9237, "the service does not answer (its control port refuses the connection)"))
        with vci_ident.Client() as client:
            self.assertFalse(client.bt_check(4711))  # Bluetooth is disabled here
            with self.assertRaises(vci_ident.BluetoothError) as failed:
                client.bt_connect(4711)
            self.assertEqual((failed.exception.code, str(failed.exception)),
                             (-1, vci_ident.bluetooth_result_text(vci_ident.BT_CONNECT, -1)))
            self.assertIn("Bluetooth is disabled", str(failed.exception))
            raised = RuntimeError("from a callback")

            def on_table(table):
                raise raised
            with vci_ident.Client(on_table=on_table) as watcher:
                start_sim(4713, "127.0.0.4")
                with self.assertRaises(RuntimeError) as caught:
                    for _ in watcher.watch(timeout=GUARD):
                        pass
                self.assertIs(caught.exception, raised)

    def test_pip_installs_the_package_offline(self):
        source = os.path.dirname(os.path.dirname(os.path.abspath(vci_ident.__file__)))
        with tempfile.TemporaryDirectory() as target:
            subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-cache-dir",
                            "--disable-pip-version-check", "--root-user-action=ignore", "--target", target, source],
                           check=True, timeout=GUARD)
            imported = subprocess.run([sys.executable, "-c", "import vci_ident; print(vci_ident.__file__)"],
                                      env=dict(os.environ, PYTHONPATH=target), capture_output=True, text=True,
                                      check=True, timeout=GUARD).stdout
            self.assertEqual(imported, os.path.join(target, "vci_ident", "__init__.py\n"))

    def test_the_readme_script(self):
        with open(os.environ["VCI_README"], encoding="utf-8") as readme:
            script = re.search(r"```python\n(# list_vcis.py.*?)```", readme.read(), re.DOTALL).group(1)
        with subprocess.Popen([sys.executable, "-u", "-c", script], stdout=subprocess.PIPE, text=True) as run:
            guard = threading.Timer(GUARD, run.kill)
            guard.start()
            try:
                listed = []
                for line in run.stdout:
                    listed.append(line)
                    if "waiting for a change" in line:
                        break
                self.assertIn("4711 Ethernet 127.0.0.2 version 5.1.2 Diagnosis 4.2.1\n", listed)
                start_sim(4714, "127.0.0.5")
                self.assertIn("\n4714 Ethernet 127.0.0.5", run.stdout.read())
                self.assertEqual(run.wait(GUARD), 0)
            finally:
                guard.cancel()
                run.kill()


if __name__ == "__main__":
    unittest.main()
