"""The .deb as installed: its user unit under a real systemd user manager,
its maintainer scripts, the service it runs against a virtual device that is
unplugged and plugged in again. Runs contained (see usermanager.py).

  TANDREL_DEB  the package to test
"""
import os
import time
import unittest

import harness
import usermanager
from usermanager import DISPLAY, UNIT, UserManager, alive, wait_for_launches

DEB = os.environ.get("TANDREL_DEB", "")
PATTERN = b"121"


class InstalledUnit(unittest.TestCase):
    def setUp(self):
        self.manager = UserManager(DEB)
        self.addCleanup(self.manager.stop)

    def test_unit_verifies_without_a_word(self):
        result = usermanager.run("systemd-analyze", "--user", "verify", f"/usr/lib/systemd/user/{UNIT}",
                                 check=False, env=self.manager.env)
        self.assertEqual((result.returncode, result.stdout), (0, ""))

    def test_postinst_enables_for_every_user_and_postrm_takes_it_back(self):
        wants = f"/etc/systemd/user/graphical-session.target.wants/{UNIT}"
        self.assertEqual(os.readlink(wants), f"/usr/lib/systemd/user/{UNIT}")
        self.manager.maintainer_script("postinst", "configure", "0.1")  # an upgrade changes nothing
        self.assertTrue(os.path.islink(wants))
        self.manager.maintainer_script("postrm", "remove")
        self.manager.maintainer_script("postrm", "purge")
        self.assertFalse(os.path.lexists(wants))
        left = [os.path.join(d, f) for d, _, files in os.walk("/etc/systemd/user") for f in files]
        left += [os.path.join(d, f) for d, _, files in os.walk("/var/lib/systemd") for f in files
                 if "tandrel" in f]
        self.assertEqual(left, [])

    def test_session_long_service_relaunches_and_survives_an_unplug(self):
        manager = self.manager
        line = manager.plug()
        manager.start()
        self.assertEqual(manager.show("ActiveState"), "inactive", "nothing runs before the session starts")
        manager.login()

        # Two patterns, two launches: each run ends after its launch, the next
        # one takes the line again about a second later.
        for launch in (1, 2):
            line.wait_configured(timeout=10)
            line.send(PATTERN)
            wait_for_launches(manager, launch)
            line.unconfigure()

        # Unplugged: the line hangs up, the node and the sysfs entry go. Each
        # run now finds no port and ends; the runs come about once a second.
        manager.unplug(line)
        restarts = int(manager.show("NRestarts"))
        start = time.monotonic()
        time.sleep(5)
        runs = int(manager.show("NRestarts")) - restarts
        elapsed = time.monotonic() - start
        self.assertGreaterEqual(runs, 2)
        self.assertLessEqual(runs, elapsed / 1.0 + 1, "more than one run a second")
        self.assertNotEqual(manager.show("ActiveState"), "failed")

        # Plugged in again: a new run finds it within about a second.
        line = manager.plug()
        line.wait_configured(timeout=5)
        line.send(PATTERN)
        launches = wait_for_launches(manager, 3)

        home = manager.env["HOME"]
        self.assertEqual(launches, [[DISPLAY, home, pid] for _, _, pid in launches], "each launch saw DISPLAY")
        for _, _, pid in launches:
            self.assertTrue(alive(pid), f"the file manager {pid} of a finished run was ended")

        # Logout stops the unit, and nothing starts it again.
        manager.logout()
        harness.wait_until(lambda: manager.show("ActiveState") == "inactive", 10, "the unit outlived the session")
        time.sleep(2)
        self.assertEqual(manager.show("ActiveState"), "inactive")
        for _, _, pid in launches:
            self.assertTrue(alive(pid), f"the file manager {pid} was ended at logout of the unit")
        line.hangup()

        # The journal: no trace line, and nothing from the manager about the
        # service's runs, however many there were.
        entries = manager.journal()
        self.assertGreater(len(entries), 0, "the journal recorded nothing at all")
        noisy = [e.get("MESSAGE") for e in entries
                 if "[Debug]" in str(e.get("MESSAGE")) or "OutCount" in str(e.get("MESSAGE"))
                 or UNIT in str(e.get("MESSAGE")) or UNIT in (e.get("USER_UNIT"), e.get("UNIT"))
                 or "left-over process" in str(e.get("MESSAGE"))]
        self.assertEqual(noisy, [])


if __name__ == "__main__":
    if not DEB or not os.path.exists(DEB):
        harness.missing(f"TANDREL_DEB does not name a built package ({DEB or 'unset'})")
    usermanager.contained(__file__, [])
    harness.main()
