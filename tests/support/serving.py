"""What the tests of the servers share: a free loopback port, certificates
made with openssl, and a password's bcrypt hash."""
import os
import socket
import subprocess

SECRET_HASH = "$2b$04$0BxFDrr.gQ38PTmo8uk9qOMiscKh4TCviOFqq9sACoE33dwkyYsoq"  # bcrypt of "secret", cost 4


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


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
