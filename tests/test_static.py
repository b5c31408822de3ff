#!/usr/bin/env python3
"""The static binary alone in an empty root: no loader, no libraries, only the files named here.

Name lookup through /etc/hosts and through a DNS server started here on 127.0.0.1, and HTTPS verified
against the CA bundle placed where the system keeps it. Needs root (chroot, port 53) and dnsmasq.
"""
import os
import shutil
import subprocess
import time
import unittest

from harness import (COMMAND, LoopbackServer, VantrellCase, make_certificates, media, picture_of, read, run,
                     success_line)

HOSTS_NAME, DNS_NAME = "music.hosts.test", "music.dns.test"


class EmptyRoot(VantrellCase):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0 or not shutil.which("dnsmasq"):
            self.skipTest("needs root and dnsmasq (chroot, a DNS server on port 53)")
        self.root = self.scratch("root")
        for folder in ["media", "out", "etc/ssl/certs"]:
            os.makedirs(os.path.join(self.root, folder))
        shutil.copy(COMMAND[-1], os.path.join(self.root, "vantrell"))
        shutil.copy(media("song.flac"), os.path.join(self.root, "media"))
        self.certificates = make_certificates(self.scratch("certificates"))
        shutil.copy(self.certificates["ca"][0], os.path.join(self.root, "etc/ssl/certs/ca-certificates.crt"))
        files = {"etc/hosts": f"127.0.0.1 localhost {HOSTS_NAME}\n", "etc/resolv.conf": "nameserver 127.0.0.1\n",
                 "etc/nsswitch.conf": "hosts: files dns\n"}
        for name, text in files.items():
            with open(os.path.join(self.root, name), "w") as f:
                f.write(text)
        dns = subprocess.Popen(["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                                "--no-hosts", "--listen-address=127.0.0.1", "--bind-interfaces", "--port=53",
                                f"--address=/{DNS_NAME}/127.0.0.1", "--user=root"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(dns.wait)
        self.addCleanup(dns.terminate)
        time.sleep(0.5)
        self.assertIsNone(dns.poll(), f"dnsmasq did not start: {dns.stderr.read().decode(errors='replace')}")

    def test_runs_with_nothing_but_its_files(self):
        """Each case: uri (PORT filled in), the certificate the server shows, whether the picture is written."""
        self.assertEqual(sorted(os.listdir(self.root)), ["etc", "media", "out", "vantrell"])
        cases = {
            "local file": ("/media/song.flac", "trusted", True),
            "name from /etc/hosts": (f"http://{HOSTS_NAME}:PORT/song.flac", "trusted", True),
            "name from the DNS server": (f"http://{DNS_NAME}:PORT/song.flac", "trusted", True),
            "HTTPS, CA from the placed bundle": ("https://127.0.0.1:PORT/song.flac", "trusted", True),
            "HTTPS, self-signed": ("https://127.0.0.1:PORT/song.flac", "self-signed", False),
            "name nobody knows": ("http://nowhere.invalid:PORT/song.flac", "trusted", False),
        }
        routes = {"/song.flac": {"body": read(media("song.flac"))}}
        for name, (uri, served, written) in cases.items():
            tls = self.certificates[served] if uri.startswith("https") else None
            with self.subTest(name), LoopbackServer(routes, tls=tls) as server:
                uri = uri.replace("PORT", str(server.httpd.server_address[1]))
                out = os.path.join(self.root, "out", "cover.jpg")
                result = run(uri, "/out/cover.jpg", command=["chroot", self.root, "/vantrell"],
                             env={"SSL_CERT_FILE": None})
                if written:
                    self.assertClean(result)
                    self.assertEqual(result.lines, [f"Opening {uri}", success_line("/out/cover.jpg")], result)
                    self.assertEqual(read(out), picture_of("cover.jpg"))
                else:
                    self.assertRefused(result, uri, "avformat_open_input() failed", out, None)
                if os.path.exists(out):
                    os.remove(out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
