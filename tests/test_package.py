#!/usr/bin/env python3
"""The manual pages, the documents and the Debian package, as a user meets them."""
import glob
import os
import re
import subprocess
import unittest

from harness import VantrellCase, media, pairs, picture_of, run

BUILD = os.environ["VANTRELL_BUILD_DIR"]
TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
VERSION = os.environ["VANTRELL_VERSION"]
OWN_LINES = ["Opening uri", "avformat_open_input() failed", "could not read the format header",
             "Wrote album art to filename", "could not write album art to filename", f"vantrell {VERSION}"]
# Each page and the lines that it must name.
PAGES = {"vantrell.1": ["usage: vantrell uri filename"] + OWN_LINES,
         "vantrell-batch.1": ["usage: vantrell-batch < uri NUL filename NUL ...",
                              "usage: vantrell-batch: no filename after uri", "vantrell(1)", f"vantrell {VERSION}"]}


class ManualPage(VantrellCase):
    def test_renders_without_warnings_and_names_every_line(self):
        for page, lines in PAGES.items():
            with self.subTest(page):
                path = os.path.join(BUILD, "doc", page)
                checked = subprocess.run(["groff", "-ww", "-z", "-man", path], capture_output=True, text=True)
                self.assertEqual((checked.returncode, checked.stderr), (0, ""))
                text = subprocess.run(["groff", "-man", "-Tutf8", "-P", "-cbou", path], capture_output=True,
                                      text=True, check=True).stdout
                text = re.sub(r"\s+", " ", text.replace("\u2010", "-"))
                for line in lines:
                    self.assertIn(line, text)


class Documents(VantrellCase):
    def test_every_relative_link_reaches_its_file_and_heading(self):
        """README.md and the pages in doc/: each link that is not a URL names a file, and a heading in it
        where the link names one (#anchor, as a Markdown renderer makes anchors of headings)."""
        pages = [os.path.join(TOP, "README.md")] + sorted(glob.glob(os.path.join(TOP, "doc", "*.md")))
        checked = 0
        for page in pages:
            with open(page) as f:
                text = f.read()
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                if re.match(r"[a-z]+:", target):
                    continue
                with self.subTest(page=os.path.relpath(page, TOP), link=target):
                    path, _, anchor = target.partition("#")
                    linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                    self.assertTrue(os.path.isfile(linked), f"{target} names no file")
                    if anchor:
                        self.assertIn(anchor, anchors(linked), f"{target} names no heading")
                    checked += 1
        self.assertGreater(checked, 10, "the pages link to fewer places than they do")
        print(f"{checked} relative links in {len(pages)} pages reach their files and headings")


def anchors(page):
    """The anchors of a Markdown page's headings: lower case, punctuation dropped, spaces as hyphens."""
    with open(page) as f:
        headings = re.findall(r"^#+ (.+)$", f.read(), re.M)
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-") for heading in headings}


class DebianPackage(VantrellCase):
    def test_package_installs_and_runs(self):
        subprocess.run(["cpack", "-G", "DEB", "-B", self.dir, "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, capture_output=True)
        [deb] = glob.glob(os.path.join(self.dir, "*.deb"))
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        self.assertEqual(os.path.basename(deb), f"vantrell_{VERSION}_{arch}.deb")
        fields = {field: subprocess.run(["dpkg-deb", "-f", deb, field], capture_output=True, text=True).stdout.strip()
                  for field in ("Version", "Section", "Maintainer", "Depends", "Description")}
        self.assertEqual((fields["Version"], fields["Section"]), (VERSION, "sound"))
        self.assertRegex(fields["Depends"], r"libc6 \(>= [^)]+\)")
        self.assertIn("\n", fields["Description"], "the description needs a long part")
        print(f"{os.path.basename(deb)}: {os.path.getsize(deb)} bytes; Depends: {fields['Depends']}")

        root = self.scratch("root")
        subprocess.run(["dpkg", "-x", deb, root], check=True)
        for path in ["usr/bin/vantrell", "usr/bin/vantrell-batch", "usr/share/man/man1/vantrell.1.gz",
                     "usr/share/man/man1/vantrell-batch.1.gz", "usr/share/doc/vantrell/copyright"]:
            self.assertTrue(os.path.isfile(os.path.join(root, path)), path)
        out = self.scratch("cover.jpg")
        installed = run(media("song.flac"), out, command=[os.path.join(root, "usr/bin/vantrell")])
        self.assertExtracted(installed, media("song.flac"), out, picture_of("cover.jpg"))
        os.remove(out)
        batch = run(command=[os.path.join(root, "usr/bin/vantrell-batch")], stdin=pairs(media("song.flac"), out))
        self.assertExtracted(batch, media("song.flac"), out, picture_of("cover.jpg"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
