#!/usr/bin/python3
"""scripts/check-layers against small trees: what it must refuse and what it must let pass."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "check-layers")

# A tree whose every include is in order.
CLEAN = {
    "platform/error/CloudError.h": "#pragma once\n#include <stdexcept>\n",
    "platform/notify/BalloonHintIcon.h": "#pragma once\n",
    "platform/json/SuperObject.cpp": '#include "platform/error/CloudError.h"\n#include <nlohmann/json.hpp>\n',
    "platform/tray/TCoolTrayIcon.h": '#include <QSystemTrayIcon>\n#include "platform/notify/BalloonHintIcon.h"\n',
    "platform/qt/Dispatcher.cpp": "#include <QtCore/QObject>\n#include <QThread>\n",
    "batch/JobLine.cpp": '#include "batch/JobLine.h"\n#include "platform/json/SuperObject.cpp"\n#include <queue>\n',
    "batch/JobLine.h": "#pragma once\n#include <quadmath.h>\n",
    "transfer/Worker.h": '#include "batch/JobLine.h"\n#include "platform/notify/BalloonHintIcon.h"\n',
    "transfer/Worker.cpp": '#include "Worker.h"\n/*\n#include "ui/UnitMain.h"\n*/\n',
    "ui/UnitMain.h": '#include <QWidget>\n#include "transfer/Worker.h"\n#include "platform/tray/TCoolTrayIcon.h"\n',
    "app/AppMain.cpp": '#include <QApplication>\n#include "ui/UnitMain.h"\n#include "platform/qt/Dispatcher.cpp"\n',
    "tests/anything/Test.cpp": '#include "ui/UnitMain.h"\n#include <QTest>\n#include "app/AppMain.cpp"\n',
    "bench/b/Bench.cpp": '#include "platform/tray/TCoolTrayIcon.h"\n',
    "platform/client/Client.h": '#include "platform/error/CloudError.h"\n',
    "platform/ftp/Ftp.h": '#include "platform/client/Client.h"\n#include "platform/json/SuperObject.cpp"\n',
    "platform/sftp/Sftp.h": '#include "platform/client/Client.h"\n',
    "transfer/Clients.cpp": '#include "platform/ftp/Ftp.h"\n#include "platform/sftp/Sftp.h"\n',
}

# (a file added to the clean tree, its text, what the report must say)
WRONG = [
    ("transfer/Bad.cpp", '#include <vector>\n#include "ui/UnitMain.h"\n', "transfer/Bad.cpp:2: includes ui/UnitMain.h"),
    ("batch/Store.cpp", '#include "transfer/Worker.h"\n', "batch/Store.cpp:1: includes transfer/Worker.h"),
    ("transfer/Status.h", '#include "platform/tray/TCoolTrayIcon.h"\n', "platform's Qt adapters"),
    ("platform/fs/Fs.cpp", '#include "platform/settings/Ini.h"\n', "platform/fs/Fs.cpp:1: includes platform/settings/Ini.h"),
    ("platform/fs/Up.cpp", '#include "batch/JobLine.h"\n', "includes batch/JobLine.h"),
    ("platform/tray/Tray.cpp", '#include "ui/UnitMain.h"\n', "platform/tray/Tray.cpp:1: includes ui/UnitMain.h"),
    ("ui/View.cpp", '#include "app/AppMain.cpp"\n', "ui/View.cpp:1: includes app/AppMain.cpp"),
    ("transfer/Bad.cpp", "#include <QString>\n", "transfer/Bad.cpp:1: includes the Qt header <QString>"),
    ("batch/Store.cpp", "  #  include <QtCore/QFile>\n", "the Qt header <QtCore/QFile>"),
    ("platform/ftp/Ftp.cpp", "#include <qglobal.h>\n", "the Qt header <qglobal.h>"),
    ("transfer/deep/Relative.cpp", '#include "../../ui/UnitMain.h"\n', "includes ui/UnitMain.h"),
    ("batch/Angle.cpp", "#include <transfer/Worker.h>\n", "includes transfer/Worker.h"),
    ("platform/client/Factory.cpp", '#include "platform/ftp/Ftp.h"\n',
     "platform/client/Factory.cpp:1: includes platform/ftp/Ftp.h; platform/client/ is protocol-neutral"),
    ("platform/sftp/Sftp.cpp", '#include "../ftp/Ftp.h"\n', "never on another protocol"),
]


def write_tree(root, files):
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as out:
            out.write(text)


def run_checker(root):
    return subprocess.run([sys.executable, CHECKER, root], capture_output=True, text=True)


class CheckLayers(unittest.TestCase):
    def test_a_tree_that_keeps_the_direction_passes(self):
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, CLEAN)
            result = run_checker(root)
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_every_include_against_the_layers_fails_and_is_named(self):
        for rel, text, expected in WRONG:
            with self.subTest(file=rel, include=text.strip()), tempfile.TemporaryDirectory() as root:
                write_tree(root, CLEAN)
                self.assertNotIn(rel, CLEAN)
                write_tree(root, {rel: text})
                result = run_checker(root)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(expected, result.stderr)

    def test_every_fault_is_reported_not_only_the_first(self):
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, CLEAN)
            write_tree(root, {"batch/A.cpp": '#include "ui/UnitMain.h"\n#include <QDir>\n',
                              "platform/ping/P.cpp": '#include "transfer/Worker.h"\n'})
            result = run_checker(root)
            self.assertEqual(result.returncode, 1)
            self.assertIn("3 include(s)", result.stderr)


if __name__ == "__main__":
    unittest.main()
