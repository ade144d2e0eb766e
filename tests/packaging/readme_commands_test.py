#!/usr/bin/env python3
"""Keeps the README honest: every command it shows in an indented code
block must be one that the demo or a test runs. The table below says where
each is run and what that file must contain; a command added to the README
without a place that runs it, or a place that stops running it, fails.

usage: readme_commands_test.py SOURCE_DIR
"""

import os
import sys

FLEET = "tests/packaging/fleet_e2e_test.sh"

# README command -> [(file that runs it, text that file must contain), ...]
RUN_BY = {
    "bash tools/demo.sh": [
        ("tests/packaging/demo_test.py", '"tools/demo.sh"')],
    "bash tools/test.sh": [
        (".ci/run", "bash tools/test.sh")],
    "cpack -G DEB --config build-demo/CPackConfig.cmake -B build-demo/package": [
        ("tests/packaging/package_test.sh", 'cpack -G DEB --config "$build/CPackConfig.cmake" -B'),
        ("tests/packaging/debian_system.sh", 'cpack -G DEB --config "$build/CPackConfig.cmake" -B')],
    "apt-get install ./build-demo/package/pelorin_2.4.0-1_amd64.deb": [
        ("tests/packaging/chroot_test.sh", 'apt-get install -y -q ./$deb'),
        ("packaging.cmake", 'set(PELORIN_PACKAGE_VERSION "${PROJECT_VERSION}-1"'),
        ("CMakeLists.txt", "project(pelorin VERSION 2.4.0 ")],
    "pelorin-lookup-ma 00:00:0c:12:34:56": [
        ("tests/packaging/chroot_test.sh", "in_root pelorin-lookup-ma 00:00:0c:12:34:56")],
    "PELORIN_OPTIONS=\"-n /usr/share/doc/pelorin/examples/notify-logger -F 'not host 192.0.2.99'\"": [
        ("tests/packaging/chroot_test.sh",
         "\nPELORIN_OPTIONS=\"-n /usr/share/doc/pelorin/examples/notify-logger -F 'not host 192.0.2.99'\"\n")],
    "systemctl enable pelorin@eth0.service": [
        ("tests/packaging/chroot_test.sh", "in_root systemctl enable pelorin@eth0.service")],
    # No systemd runs under the tests: the unit is verified statically and
    # its ExecStart run as the unit would run it.
    "systemctl start pelorin@eth0.service": [
        ("tests/packaging/units_test.sh", "systemd-analyze verify"),
        ("tests/packaging/chroot_test.sh", 'script=$(sed -n "s/^ExecStart=')],
    "[Service]": [
        ("tests/packaging/chroot_test.sh", "\n[Service]\nSupplementaryGroups=postdrop\n")],
    "SupplementaryGroups=postdrop": [
        ("tests/packaging/chroot_test.sh", "\nSupplementaryGroups=postdrop\nReadWritePaths=/var/spool/postfix/maildrop\n")],
    "ReadWritePaths=/var/spool/postfix/maildrop": [
        ("tests/packaging/chroot_test.sh", "\nReadWritePaths=/var/spool/postfix/maildrop\nREADME\n")],
    "account default": [
        ("tests/packaging/chroot_test.sh", "<<'README'\naccount default\nhost localhost\n")],
    "host localhost": [
        ("tests/packaging/chroot_test.sh", "\nhost localhost\nfrom %U@%M\n")],
    "from %U@%M": [
        ("tests/packaging/chroot_test.sh", "\nfrom %U@%M\nsyslog LOG_MAIL\nREADME\n")],
    "syslog LOG_MAIL": [
        ("tests/packaging/chroot_test.sh", "\nsyslog LOG_MAIL\nREADME\n")],
    "PELORIN_SENDMAIL=/usr/bin/msmtp": [
        ("tests/packaging/chroot_test.sh", "<<'README'\nPELORIN_SENDMAIL=/usr/bin/msmtp\n")],
    "PELORIN_MAIL_TO=root@localhost": [
        ("tests/packaging/chroot_test.sh", "\nPELORIN_MAIL_TO=root@localhost\nREADME\n")],
    "pelorin-query eth0": [
        ("tests/packaging/chroot_test.sh", "in_root pelorin-query eth0")],
    "systemctl disable pelorin-update-ma.timer": [
        ("tests/packaging/chroot_test.sh", "in_root systemctl disable pelorin-update-ma.timer")],
    "systemctl stop pelorin-update-ma.timer": [
        ("tests/packaging/units_test.sh", "systemd-analyze verify")],
    "pelorin-update-ma": [
        ("tests/update-ma/netns_test.cc", "pelorin-update-ma")],
    "cp /usr/share/ieee-data/oui.csv /var/db/pelorin/ma_l.csv": [
        ("tools/demo/scene.sh", "cp /usr/share/ieee-data/oui.csv /var/db/pelorin/ma_l.csv")],
    "cp /usr/share/ieee-data/mam.csv /var/db/pelorin/ma_m.csv": [
        ("tools/demo/scene.sh", "cp /usr/share/ieee-data/mam.csv /var/db/pelorin/ma_m.csv")],
    "cp /usr/share/ieee-data/oui36.csv /var/db/pelorin/ma_s.csv": [
        ("tools/demo/scene.sh", "cp /usr/share/ieee-data/oui36.csv /var/db/pelorin/ma_s.csv")],
    "pelorin-update-ma -D": [
        ("tools/demo/scene.sh", "run pelorin-update-ma -D")],
    "pelorin -s -p /run/pelorin-eth0.pid -n /usr/share/doc/pelorin/examples/notify-logger eth0": [
        ("tests/packaging/daemons_e2e_test.sh", 'pelorin -s -p /run/pelorin-eth0.pid -n "$NOTIFY" eth0'),
        ("tests/packaging/daemons_e2e_test.sh", 'NOTIFY="$stage/usr/share/doc/pelorin/examples/notify-logger"')],
    "pelorin -s -p /run/pelorin-eth1.pid -n /usr/share/doc/pelorin/examples/notify-logger eth1": [
        ("tests/packaging/daemons_e2e_test.sh", 'pelorin -s -p /run/pelorin-eth1.pid -n "$NOTIFY" eth1')],
    "pelorin-query -a eth0": [
        ("tools/demo/scene.sh", "run pelorin-query -a eth0")],
    "pelorin-html /var/lib/pelorin-html": [
        ("tools/demo/scene.sh", "run pelorin-html /var/lib/pelorin-html")],
    "pelorin-lookup-ma b8:27:eb:5a:00:10": [
        ("tools/demo/scene.sh", "run pelorin-lookup-ma b8:27:eb:5a:00:10")],
    'ARGS="--collector.textfile.directory=/var/db/pelorin/metrics"': [
        ("tests/packaging/systemd_test.sh",
         "<<'README'\nARGS=\"--collector.textfile.directory=/var/db/pelorin/metrics\"\nREADME\n"),
        ("tests/packaging/systemd_test.sh", "-M /var/db/pelorin/metrics")],
    # One sensor on a mirror port: the systemd test runs its watcher so.
    'PELORIN_OPTIONS="-V all -P -n /usr/share/doc/pelorin/examples/notify-logger"': [
        ("tests/packaging/systemd_test.sh",
         "<<'README'\nPELORIN_OPTIONS=\"-V all -P -n /usr/share/doc/pelorin/examples/notify-logger\"\nREADME\n")],
    "systemctl enable --now pelorin@eth0.service": [
        ("tests/packaging/systemd_test.sh", "in_c systemctl enable --now pelorin@eth0.service")],
    # Many segments: the fleet test runs the sensor's and the central
    # host's part with the staged examples, rsyslogd started by the test
    # with the snippets, and the watchers started as their unit would.
    'PELORIN_OPTIONS="-V all -n /usr/share/doc/pelorin/examples/notify-syslog"': [
        (FLEET, "'PELORIN_OPTIONS=\"-V all -n /usr/share/doc/pelorin/examples/notify-syslog\"' >\"$dir/default\""),
        (FLEET, 'sh -c "$SCRIPT" eth0')],
    "apt-get install rsyslog rsyslog-relp": [
        ("tools/test.sh", "rsyslog rsyslog-relp rsyslog-pgsql postgresql")],
    "cp /usr/share/doc/pelorin/examples/fleet/pelorin-sensor.conf /etc/rsyslog.d/": [
        (FLEET, 'include(file="$examples/fleet/pelorin-sensor.conf")')],
    "systemctl restart rsyslog": [
        (FLEET, 'rsyslogd -n -f "$1/rsyslog.conf"'), (FLEET, 'rsyslogd -n -f "$work/central/rsyslog.conf"')],
    "echo 'rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false' | debconf-set-selections": [
        ("tools/test.sh",
         "echo 'rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false' | debconf-set-selections")],
    "apt-get install rsyslog rsyslog-relp rsyslog-pgsql postgresql": [
        ("tools/test.sh", "rsyslog rsyslog-relp rsyslog-pgsql postgresql")],
    "echo '# inactive' >/etc/rsyslog.d/pgsql.conf": [
        ("tools/test.sh", "echo '# inactive' >/etc/rsyslog.d/pgsql.conf")],
    "runuser -u postgres -- createuser rsyslog": [(FLEET, "runuser -u postgres -- createuser rsyslog")],
    "runuser -u postgres -- createdb pelorin": [(FLEET, "runuser -u postgres -- createdb pelorin")],
    "runuser -u postgres -- psql -d pelorin -f /usr/share/doc/pelorin/examples/fleet/schema.sql": [
        (FLEET, '-d pelorin -f "$examples/fleet/schema.sql"')],
    "runuser -u postgres -- psql -c \"ALTER ROLE rsyslog PASSWORD 'change-me'\"": [
        (FLEET, "runuser -u postgres -- psql -c \"ALTER ROLE rsyslog PASSWORD 'change-me'\"")],
    "install -m 0600 /usr/share/doc/pelorin/examples/fleet/pelorin-central.conf /etc/rsyslog.d/": [
        (FLEET, 'include(file="$examples/fleet/pelorin-central.conf")')],
    "runuser -u postgres -- psql -d pelorin -c \"ALTER TABLE binding_change ADD COLUMN event text CHECK (event IN ('new', 'changed', 'flip-flop'))\"": [
        (FLEET, "runuser -u postgres -- psql -d pelorin -c \"ALTER TABLE binding_change ADD COLUMN event text CHECK (event IN ('new', 'changed', 'flip-flop'))\"")],
    "runuser -u postgres -- psql -d pelorin -f /usr/share/doc/pelorin/examples/fleet/queries.sql": [
        (FLEET, '-d pelorin -f "$examples/fleet/queries.sql"')],
}


def readme_commands(path):
    """Lines of the indented (4-space) code blocks, outside fenced blocks."""
    commands, fenced, previous_blank = [], False, True
    in_block = False
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("```"):
                fenced = not fenced
                continue
            if fenced:
                continue
            if line.startswith("    ") and line.strip() and (previous_blank or in_block):
                commands.append(line.strip())
                in_block = True
            elif line.strip():
                in_block = False
            previous_blank = not line.strip()
    return commands


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    source = sys.argv[1]
    failures = 0
    commands = readme_commands(os.path.join(source, "README.md"))
    if not commands:
        print("FAIL: no commands found in README.md")
        return 1
    for command in commands:
        places = RUN_BY.get(command)
        if not places:
            print(f"FAIL: README shows '{command}', which nothing is known to run")
            failures += 1
            continue
        for file, text in places:
            with open(os.path.join(source, file), encoding="utf-8") as f:
                if text not in f.read():
                    print(f"FAIL: '{command}': {file} no longer contains '{text}'")
                    failures += 1
    for command in RUN_BY:
        if command not in commands:
            print(f"FAIL: '{command}' is no longer in the README; drop it here")
            failures += 1
    print(f"{len(commands)} README commands checked, {failures} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
