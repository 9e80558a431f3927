"""What the packages hold: the .deb (and what lintian says of it), the
.tar.gz and the Windows .zip, as CPack built them.

  TANDREL_PACKAGES  the folder the workflow presets build the packages into
"""
import os
import shutil
import subprocess
import tarfile
import unittest
import zipfile

import harness

PACKAGES = os.environ.get("TANDREL_PACKAGES", "")
DEB = os.path.join(PACKAGES, "tandrel-service_0.1_amd64.deb")
TGZ = os.path.join(PACKAGES, "tandrel-service-0.1-Linux.tar.gz")
ZIP = os.path.join(PACKAGES, "tandrel-service-0.1-win64.zip")

LINUX_FILES = {
    "usr/bin/tandrel-service": 0o755,
    "usr/lib/systemd/user/tandrel-service.service": 0o644,
    "usr/lib/tandrel-service/xdg-open": 0o755,
    "usr/share/man/man1/tandrel-service.1.gz": 0o644,
    "usr/share/doc/tandrel-service/README.md": 0o644,
    "usr/share/doc/tandrel-service/copyright": 0o644,
    "usr/share/doc/tandrel-service/changelog.gz": 0o644,
}
# What lintian may still say, all informational: the .comment section the
# compiler writes, which strip leaves in place.
ACCEPTED_LINTIAN = {"binary-has-unneeded-section"}


def run(*args):
    return subprocess.run(list(args), check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout


class LinuxPackages(unittest.TestCase):
    def test_deb_holds_exactly_the_installed_files(self):
        with subprocess.Popen(["dpkg-deb", "--fsys-tarfile", DEB], stdout=subprocess.PIPE) as p:
            with tarfile.open(fileobj=p.stdout, mode="r|") as tar:
                members = {m.name.lstrip("./"): m for m in tar if m.isfile()}
        self.assertEqual({name: m.mode for name, m in members.items()}, LINUX_FILES)
        self.assertTrue(all(m.uid == 0 and m.gid == 0 for m in members.values()))

    def test_deb_control_depends_on_the_c_library_and_xdg_utils(self):
        depends = run("dpkg-deb", "-f", DEB, "Depends")
        self.assertIn("xdg-utils", depends)
        self.assertIn("libc6", depends)
        self.assertEqual(run("dpkg-deb", "-f", DEB, "Package").strip(), "tandrel-service")
        scripts = run("dpkg-deb", "-I", DEB)
        self.assertIn("postinst", scripts)
        self.assertIn("postrm", scripts)

    def test_binary_is_stripped(self):
        with subprocess.Popen(["dpkg-deb", "--fsys-tarfile", DEB], stdout=subprocess.PIPE) as p:
            with tarfile.open(fileobj=p.stdout, mode="r|") as tar:
                for member in tar:
                    if member.name.endswith("usr/bin/tandrel-service"):
                        data = tar.extractfile(member).read()
                        break
        self.assertNotIn(b".symtab", data)
        self.assertNotIn(b".debug_info", data)

    def test_lintian_reports_no_error_or_warning(self):
        result = subprocess.run(["lintian", "--info", "--display-info", "--pedantic", DEB], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        tags = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:", "I:", "P:", "X:")]
        print("\n".join(tags), flush=True)
        unexpected = [t for t in tags if t.split()[2] not in ACCEPTED_LINTIAN]
        self.assertEqual(unexpected, [])

    def test_tgz_holds_the_same_files(self):
        with tarfile.open(TGZ) as tar:
            names = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
        self.assertEqual(names, set(LINUX_FILES))


class WindowsPackage(unittest.TestCase):
    def test_zip_holds_both_programs_the_scripts_and_the_licence(self):
        with zipfile.ZipFile(ZIP) as z:
            names = {name.split("/", 1)[1] for name in z.namelist() if not name.endswith("/")}
            scripts = {name: z.read(name) for name in z.namelist() if name.endswith(".cmd")}
        self.assertEqual(names, {"tandrel-service.exe", "tandrel-launcher.exe", "install.cmd", "uninstall.cmd",
                                 "README.md", "LICENSE"})
        for name, text in scripts.items():
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), f"{name} needs CRLF line ends")


if __name__ == "__main__":
    for path in (DEB, TGZ, ZIP):
        if not os.path.exists(path):
            harness.missing(f"{path} is not built (cmake --workflow --preset package, and package-windows)")
    for tool in ("dpkg-deb", "lintian"):
        if not shutil.which(tool):
            harness.missing(f"{tool} is not installed")
    harness.main()
