"""Payloads with folders: mirelk-pack packs trees into the tree bundle, and
the launcher writes them and starts an installer in a subfolder."""

import os
import unittest

from harness import LauncherCase, tool

# An installer in app/bin/ that runs a helper of the payload from another
# subfolder, then records the tree it sees (path, kind, mode, contents).
TREE_INSTALLER = b"""#!/bin/sh
top="$(dirname "$0")/.."
"$top/tools/helper" > "$MIRELK_RECORD/helper"
cd "$top" && find . -mindepth 1 | LC_ALL=C sort | while read -r p; do
  if [ -d "$p" ]; then echo "$p/"; else printf '%s %s %s\\n' "$p" "$(stat -c %a "$p")" "$(cat "$p")"; fi
done > "$MIRELK_RECORD/tree"
"""
HELPER = b"#!/bin/sh\necho helper ran\n"
CYRILLIC = "\u0434\u0430\u043d\u043d\u044b\u0435"  # данные
CJK = "\u8bf4\u660e.txt"  # 说明.txt


class TreePackages(LauncherCase):
    def payload(self):
        """in/app with nested folders, an empty one, non-ASCII names and an
        executable helper."""
        app = self.path("in", "app")
        for folder in ("bin", "tools", CYRILLIC + "/" + CJK[:1], "empty"):
            os.makedirs(os.path.join(app, folder))
        files = {"bin/setup.sh": (TREE_INSTALLER, 0o644), "tools/helper": (HELPER, 0o755),
                 f"{CYRILLIC}/{CJK}": (b"cjk", 0o644), f"{CYRILLIC}/{CJK[:1]}/x": (b"deep", 0o600)}
        for name, (data, mode) in files.items():
            with open(os.path.join(app, name), "wb") as f:
                f.write(data)
            os.chmod(os.path.join(app, name), mode)
        return app

    def test_a_tree_installs_runs_its_helper_and_goes(self):
        package = self.path("app.pkg")
        tool("create", "-o", package, "--launch", "app/bin/setup.sh", self.payload())
        listing = tool("list", package).stdout.decode()
        self.assertIn("bundle: tree", listing)
        self.assertIn(" exec ", listing)
        self.assertIn("app/empty/", listing)
        self.assertIn("app/bin/setup.sh  [launch]", listing)
        result = self.run_launcher(self.attach(package), ["x"])
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(self.recorded("helper"), b"helper ran\n")
        self.assertEqual(self.recorded("tree").decode().splitlines(), self.expected_tree())
        self.assertEqual(self.leftovers(), [])

    def expected_tree(self):
        lines = ["./bin/", "./bin/setup.sh 700 #!/bin/sh"]
        lines += TREE_INSTALLER.decode().splitlines()[1:]
        lines += ["./empty/", "./tools/", "./tools/helper 700 #!/bin/sh", "echo helper ran",
                  f"./{CYRILLIC}/", f"./{CYRILLIC}/{CJK[:1]}/", f"./{CYRILLIC}/{CJK[:1]}/x 600 deep",
                  f"./{CYRILLIC}/{CJK} 600 cjk"]
        return lines

    def test_the_revision_written(self):
        flat = self.write_inputs({"setup.sh": b"s", "a.txt": b"a"})
        os.chmod(flat[0], 0o755)
        helper = self.write_inputs({"helper": b"h"})[0]
        os.chmod(helper, 0o755)
        cyrillic = self.write_inputs({CYRILLIC: b"c"})[0]
        launch = ["--launch", "setup.sh"]
        cases = [
            ((*flat,), launch, "index"),  # flat, ASCII, the launch entry executable: "HEN"
            ((*flat,), [], "bundle: tree"),  # setup.sh executable, not launched
            ((*flat,), [*launch, "--bundle", "v2"], "bundle: tree"),
            ((*flat, helper), launch, "bundle: tree"),  # a second executable
            ((*flat, cyrillic), launch, "bundle: tree"),
            ((*flat, cyrillic), [*launch, "--bundle", "v1"], "index"),
            ((self.payload(),), [], "bundle: tree"),
        ]
        for inputs, options, shown in cases:
            with self.subTest(inputs=inputs, options=options):
                package = self.path("p.pkg")
                tool("create", "-o", package, *options, *inputs)
                listing = tool("list", package).stdout.decode()
                self.assertIn(shown, listing)
                self.assertEqual("bundle: tree" in listing, shown == "bundle: tree")

    def test_refusals_name_the_path_in_one_line(self):
        app = self.payload()
        out = self.path("out.pkg")
        os.mkdir(os.path.join(self.root, "other"))
        with open(os.path.join(self.root, "other", "nul.txt"), "wb"):
            pass
        link, fifo = os.path.join(app, "tools", "link"), os.path.join(app, "bin", "fifo")
        cases = [
            (["create", "-o", out, "--bundle", "v1", app], "app", "a folder"),
            (["create", "-o", out, "--launch", "app/bin", app], "app/bin", "a folder"),
            (["create", "-o", out, self.path("other")], "other/nul.txt", "refuses"),
            (["create", "-o", out, "--bundle", "v3", app], "v3", "usage"),
            (lambda: os.symlink("/etc/passwd", link), "tools/link", "symbolic link"),
            (lambda: (os.remove(link), os.mkfifo(fifo)), "bin/fifo", "FIFO"),
        ]
        for args, path, reason in cases:
            with self.subTest(path=path):
                if callable(args):
                    args()
                    args = ["create", "-o", out, app]
                result = tool(*args, check=False)
                self.assertEqual(result.returncode, 2 if reason == "usage" else 1)
                self.assertIn(path.encode(), result.stderr)
                self.assertIn(reason.encode(), result.stderr)
                if reason != "usage":
                    self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
