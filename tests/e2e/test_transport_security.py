"""The transport security rule for https targets, through the agent's own
exchange (tls_probe) against the stand-in server's TLS listener."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host  # noqa: E402

PROBE = os.environ.get("QUILLMAR_TLS_PROBE", "")

OK, PEER_FAILED, CA_FILE_ERROR = 0, 60, 77


class TransportSecurityTest(host.AgentTestCase):
    def probe(self, use_ca, ca_path, url=None):
        out = subprocess.run([PROBE, url or self.server.https_url + "/quillmar", str(use_ca), ca_path],
                             capture_output=True, text=True, timeout=30, check=True).stdout
        return int(out.split(" ", 1)[0]), out

    def test_cases(self):
        tls = self.tls
        missing = os.path.join(tempfile.gettempdir(), "no-such-ca.pem")
        cases = [
            # (presented certificate, useCA, caPath, expected result)
            ("useCA 0, self-signed naming the host", tls.self_signed, 0, "", OK),
            ("useCA 0, certificate for another host", tls.other_name, 0, "", PEER_FAILED),
            ("useCA 1, the right CA", tls.localhost, 1, tls.ca, OK),
            ("useCA 1, the right CA but another host", tls.other_name, 1, tls.ca, PEER_FAILED),
            ("useCA 1, a wrong CA", tls.localhost, 1, tls.other_ca, PEER_FAILED),
            ("useCA 1, self-signed is not trusted", tls.self_signed, 1, tls.ca, PEER_FAILED),
            ("useCA 1, missing CA file", tls.localhost, 1, missing, CA_FILE_ERROR),
            ("useCA 2, empty caPath", tls.localhost, 2, "", CA_FILE_ERROR),
        ]
        for name, certificate, use_ca, ca_path, expected in cases:
            with self.subTest(name):
                self.server.use_certificate(certificate)
                code, out = self.probe(use_ca, ca_path)
                self.assertEqual(expected, code, out)
                if expected == OK:
                    self.assertIn('{"returnCode":0}', out)

    def test_the_library_default_trust_store_is_not_consulted(self):
        # Put the test CA where Debian's libcurl looks by default: its CA
        # directory and its bundle, both under /etc/ssl/certs.
        certs = tempfile.mkdtemp(prefix="quillmar-certs-")
        self.addCleanup(shutil.rmtree, certs, True)
        shutil.copy(self.tls.ca, os.path.join(certs, "ca-certificates.crt"))
        shutil.copy(self.tls.ca, os.path.join(certs, "test-ca.pem"))
        subprocess.run(["openssl", "rehash", certs], check=True, capture_output=True)
        subprocess.run(["mount", "--bind", certs, "/etc/ssl/certs"], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", "/etc/ssl/certs"], check=True)

        url = self.server.https_url + "/quillmar"
        if shutil.which("curl"):
            # Control: the library itself now trusts the stand-in by default.
            control = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-X", "POST", url],
                                     capture_output=True, text=True, timeout=30)
            self.assertEqual(0, control.returncode, control.stderr)
        code, out = self.probe(1, self.tls.other_ca, url)
        self.assertEqual(PEER_FAILED, code, out)


if __name__ == "__main__":
    unittest.main()
