#!/usr/bin/env python3
"""vantorix-info --serve --web-config: a file that cannot be used is refused
before serving, naming the problem; a real Prometheus scrapes over TLS with
basic auth and a client certificate, all made here with openssl, while wrong
credentials get 401 and plain HTTP on the TLS port only ends its own
connection."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

OPTIONS = None
SECRET_HASH = "$2b$04$0BxFDrr.gQ38PTmo8uk9qOMiscKh4TCviOFqq9sACoE33dwkyYsoq"  # bcrypt of "secret", cost 4


def program(name):
    return os.path.join(OPTIONS.bin, name)


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)


def make_certificates(folder):
    """A CA, and a server certificate for 127.0.0.1 and a client certificate signed by it."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    path = lambda name: os.path.join(folder, name)
    openssl("req", "-x509", *key, "-keyout", path("ca.key"), "-out", path("ca.pem"), "-days", "2",
            "-subj", "/CN=vantorix test CA")
    for name, extension in (("server", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth"),
                            ("client", "extendedKeyUsage=clientAuth")):
        with open(path(name + ".ext"), "w") as file:
            file.write(extension + "\n")
        openssl("req", "-new", *key, "-keyout", path(name + ".key"), "-out", path(name + ".csr"),
                "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
                "-CAcreateserial", "-days", "2", "-extfile", path(name + ".ext"), "-out", path(name + ".pem"))


class WebConfigTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp()
        make_certificates(cls.scratch)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, True)

    def write(self, name, text):
        path = os.path.join(self.scratch, name)
        with open(path, "w") as file:
            file.write(text)
        return path

    def test_a_file_that_cannot_be_used_is_refused_naming_the_problem(self):
        tls = "tls_server_config: {cert_file: server.pem, key_file: server.key%s}\n"
        for text, expected in (
            (tls % ", cert: x", "unknown key 'cert' in tls_server_config"),
            ("basic_auth:\n  prom: " + SECRET_HASH + "\n", "unknown key 'basic_auth'"),
            (tls % ", min_version: TLS11", ":1: min_version 'TLS11' is not TLS12 or TLS13"),
            ("tls_server_config: {cert_file: absent.pem, key_file: server.key}\n",
             "cannot read cert_file %s/absent.pem: No such file" % self.scratch),
            ("tls_server_config: {cert_file: server.pem, key_file: client.key}\n",
             "key_file %s/client.key holds no private key of cert_file's" % self.scratch),
            (tls % ", client_auth_type: RequireAndVerifyClientCert", "needs client_ca_file"),
            (tls % ", client_auth_type: RequireAnyClientCert", "client_auth_type 'RequireAnyClientCert' is not"),
            ("basic_auth_users:\n  prom: secret\n", ":2: the hash of user 'prom' is not a bcrypt hash"),
            ("basic_auth_users:\n  prom: " + SECRET_HASH[:-1] + "\n", "the hash of user 'prom' is not a bcrypt"),
            ("basic_auth_users: [prom]\n", "basic_auth_users must be a map"),
            ("tls_server_config: {cert_file: [a], key_file: server.key}\n", "cert_file must be a string"),
            ("tls_server_config: {cert_file: server.pem\n", "web.yml:2:"),
            (None, "cannot read %s/absent.yml: No such file" % self.scratch),
        ):
            config = self.write("web.yml", text) if text is not None else os.path.join(self.scratch, "absent.yml")
            result = subprocess.run([program("vantorix-info"), "--serve", "0", "--web-config", config],
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual((3, ""), (result.returncode, result.stdout), (text, result.stderr))
            self.assertIn(expected, result.stderr, text)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
