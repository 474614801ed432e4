#!/usr/bin/env python3
"""The example playbook on a fleet of 20 local hosts against a built wizard.

Each host is ansible_connection=local with its own HOME, TMPDIR and
template directory. The runs, in order:
  1. install a kit: changed on every host, files and launcher's file in place;
  2. the same again: changed on none, nothing on disk touched;
  3. --check --diff with a changed kit: changed reported on every host,
     nothing on disk touched, the new file listed in the diff;
  4. a real run where one host's target is a file: that host fails with the
     wizard's own reason, the 19 others install the new kit.
Afterwards no wizard process of this test may be left. The wall times of
runs 1 and 2 are printed.

usage: fleet_test.py --wizard build/ovn8setup --okdpack build/okdpack [--forks N] [--keep]
Exits 77 (skipped) when ansible-playbook is not installed."""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ANSIBLE_DIR = os.path.dirname(HERE)
SOURCE_ROOT = os.path.dirname(os.path.dirname(ANSIBLE_DIR))
PLAYBOOK = os.path.join(ANSIBLE_DIR, 'example-playbook.yml')
HOST_COUNT = 20
BROKEN_HOST = 'host07'
ADDED_FILE = os.path.join('forms', 'added-by-update.txt')


class FleetError(Exception):
    pass


def check(condition, message):
    if not condition:
        raise FleetError(message)


def interpreter_of(program):
    """The Python that runs `program` (its #! line), so that the hosts use the
    Python that has ansible's module_utils."""
    with open(program, 'rb') as f:
        first = f.readline().decode('utf-8', 'replace')
    parts = first[2:].split() if first.startswith('#!') else []
    if parts and os.path.basename(parts[0]) == 'env' and len(parts) > 1:
        return shutil.which(parts[1]) or sys.executable
    return parts[0] if parts else sys.executable


def build_kit(okdpack, source, kit):
    descriptions = []
    with open(os.path.join(SOURCE_ROOT, 'examples', 'descriptions.tsv'), encoding='utf-8') as f:
        for line in f:
            fields = line.rstrip('\n').split('\t')
            if len(fields) == 4 and not fields[0].startswith('#'):
                descriptions += ['--description'] + fields
    subprocess.run([okdpack, source, '-o', kit] + descriptions, check=True, stdout=subprocess.DEVNULL)


def disk_listing(root, scratch_folders=()):
    """Every file and folder under root with what a write would alter:
    inode, mode, size, times (not the access time) and content. Folders in
    or below scratch_folders are listed without their size and times."""
    listing = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            if st.st_mode & 0o170000 == 0o040000 and any(
                    path == f or path.startswith(f + '/') for f in scratch_folders):
                listing[os.path.relpath(path, root)] = (st.st_ino, st.st_mode)
                continue
            digest = None
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, 'rb') as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            listing[os.path.relpath(path, root)] = (st.st_ino, st.st_mode, st.st_size, st.st_mtime_ns,
                                                    st.st_ctime_ns, digest)
    return listing


def listing_difference(before, after):
    lines = []
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path):
            lines.append('  %s: %s -> %s' % (path, before.get(path), after.get(path)))
    return '\n'.join(lines)


def wizard_processes(wizard, scratch):
    """Processes of this wizard binary whose command line mentions the scratch folder."""
    found = []
    wizard = os.path.realpath(wizard)
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            exe = os.path.realpath('/proc/%s/exe' % pid)
            with open('/proc/%s/cmdline' % pid, 'rb') as f:
                cmdline = f.read().decode('utf-8', 'replace').replace('\0', ' ')
        except OSError:
            continue
        if exe == wizard and scratch in cmdline:
            found.append('%s: %s' % (pid, cmdline))
    return found


class Fleet:
    def __init__(self, scratch, wizard, forks, ansible_playbook):
        self.scratch = scratch
        self.ansible_playbook = ansible_playbook
        self.wizard = wizard
        self.forks = forks
        self.hosts_root = os.path.join(scratch, 'hosts')
        self.kit = os.path.join(scratch, 'kits', 'sales-templates.okd')
        self.hosts = ['host%02d' % n for n in range(1, HOST_COUNT + 1)]
        self.runs = 0

    def home(self, host):
        return os.path.join(self.hosts_root, host, 'home')

    def tmpdir(self, host):
        return os.path.join(self.hosts_root, host, 'tmp')

    def target(self, host):
        return os.path.join(self.hosts_root, host, 'templates')

    def log(self, host):
        # Outside hosts/: a log line per run is expected, even for a run that changes nothing.
        return os.path.join(self.scratch, 'logs', host + '.log')

    def listing(self):
        # Ansible unpacks each module run into TMPDIR, and the wizard its kit
        # into its folder there, and both remove their files again: the
        # folders' times change, what they hold must not.
        return disk_listing(self.hosts_root, {self.tmpdir(host) for host in self.hosts})

    def launcher_file(self, host):
        return os.path.join(self.home(host), '.Ovan', 'ovanstart', 'ovanstart.cfg')

    def write_inventory(self, python):
        hosts = {}
        for host in self.hosts:
            os.makedirs(self.home(host))
            os.makedirs(self.tmpdir(host))
            hosts[host] = {
                'ovn8_target': self.target(host),
                'ovn8_log': self.log(host),
                'ovn8_environment': {'HOME': self.home(host), 'TMPDIR': self.tmpdir(host)},
            }
        os.makedirs(os.path.join(self.scratch, 'logs'))
        inventory = {'template_hosts': {'hosts': hosts, 'vars': {
            'ansible_connection': 'local',
            'ansible_python_interpreter': python,
            'ovn8_kit_path': self.kit,
            'ovn8_executable': self.wizard,
            'ovn8_language': 'en',
        }}}
        self.inventory = os.path.join(self.scratch, 'inventory.json')
        with open(self.inventory, 'w') as f:
            json.dump(inventory, f, indent=1)

    def playbook(self, *options, expect_rc=0):
        """Runs the example playbook; returns its wall time and each host's ovn8_kit result."""
        self.runs += 1
        results_file = os.path.join(self.scratch, 'results-%d.jsonl' % self.runs)
        output_file = os.path.join(self.scratch, 'ansible-%d.log' % self.runs)
        ansible = os.path.join(self.scratch, 'ansible')
        env = dict(os.environ,
                   ANSIBLE_HOME=os.path.join(ansible, 'home'),
                   ANSIBLE_LOCAL_TEMP=os.path.join(ansible, 'local'),
                   ANSIBLE_REMOTE_TEMP=os.path.join(ansible, 'remote'),
                   ANSIBLE_CALLBACK_PLUGINS=os.path.join(HERE, 'callback_plugins'),
                   ANSIBLE_CALLBACKS_ENABLED='ovn8_results',
                   ANSIBLE_RETRY_FILES_ENABLED='false',
                   ANSIBLE_NOCOLOR='1',
                   OVN8_RESULTS_FILE=results_file)
        command = [self.ansible_playbook, '-i', self.inventory, '-f', str(self.forks), PLAYBOOK] + list(options)
        started = time.monotonic()
        with open(output_file, 'w') as out:
            rc = subprocess.run(command, env=env, cwd=self.scratch, stdout=out, stderr=subprocess.STDOUT).returncode
        elapsed = time.monotonic() - started
        results = {}
        if os.path.exists(results_file):
            with open(results_file) as f:
                for line in f:
                    record = json.loads(line)
                    results[record['host']] = record
        if rc != expect_rc or sorted(results) != self.hosts:
            with open(output_file) as f:
                tail = f.read()[-6000:]
            raise FleetError('ansible-playbook %s: status %d (expected %d), results from %d hosts\n%s'
                             % (' '.join(options), rc, expect_rc, len(results), tail))
        return elapsed, results

    def direct_failure_reason(self, host):
        """The reason the wizard itself gives for this host, run by hand (dry run)."""
        env = dict(os.environ, HOME=self.home(host), TMPDIR=self.tmpdir(host))
        run = subprocess.run([self.wizard, '--unattended', '--json', '--dry-run', '--kit=' + self.kit,
                              '--target=' + self.target(host), '-Len'],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        check(run.returncode == 1, 'wizard by hand on a file as target: status %d' % run.returncode)
        return json.loads(run.stdout)['failure']['reason']


def expect_all(results, status, changed, hosts):
    wrong = ['%s: %s changed=%s %s' % (h, results[h]['status'], results[h]['changed'],
                                       results[h]['result'].get('msg', ''))
             for h in hosts if results[h]['status'] != status or results[h]['changed'] != changed]
    check(not wrong, 'expected %s, changed=%s on %d hosts; not so on:\n  %s'
          % (status, changed, len(hosts), '\n  '.join(wrong)))


def check_maintenance(fleet, installed):
    """state=verified fails only where a file went; state=absent takes every
    installation back out once, then has nothing left to do."""
    damaged = installed[0]
    os.remove(os.path.join(fleet.target(damaged), 'readme.html'))
    _, results = fleet.playbook('-e', 'ovn8_state=verified', expect_rc=2)
    expect_all(results, 'ok', False, installed[1:])
    check(results[damaged]['status'] == 'failed' and 'missing readme.html' in results[damaged]['result']['msg'],
          '%s: verify says %s' % (damaged, results[damaged]['result'].get('msg')))
    check(results[BROKEN_HOST]['status'] == 'failed', '%s: verified without a directory' % BROKEN_HOST)

    _, results = fleet.playbook('-e', 'ovn8_state=absent')
    expect_all(results, 'ok', True, installed)
    expect_all(results, 'ok', False, [BROKEN_HOST])
    for host in installed:
        left = [name for name in os.listdir(fleet.target(host)) if name != '.n8ctl']
        check(not left, '%s: left after removal: %s' % (host, left))
        with open(fleet.launcher_file(host), encoding='utf-8') as f:
            check(fleet.target(host) not in f.read(), '%s: the launcher still lists the emptied target' % host)
    _, results = fleet.playbook('-e', 'ovn8_state=absent')
    expect_all(results, 'ok', False, fleet.hosts)


def run_fleet(fleet, okdpack, python):
    kit_source = os.path.join(fleet.scratch, 'kit-source')
    shutil.copytree(os.path.join(SOURCE_ROOT, 'examples', 'sample-kit'), kit_source)
    os.makedirs(os.path.dirname(fleet.kit))
    build_kit(okdpack, kit_source, fleet.kit)
    fleet.write_inventory(python)
    hosts = fleet.hosts

    first_time, results = fleet.playbook()
    expect_all(results, 'ok', True, hosts)
    for host in hosts:
        result = results[host]['result']
        entries = result['kit']['entries']
        check(entries and result['counts']['installed'] == entries,
              '%s: first run counts %s for %s entries' % (host, result['counts'], entries))
        check(result['target'] == fleet.target(host), '%s: target %s' % (host, result['target']))
        check(os.path.isfile(os.path.join(fleet.target(host), 'readme.html')), '%s: readme.html missing' % host)
        with open(fleet.launcher_file(host), encoding='utf-8') as f:
            check('ConfigurationTemplatesLocation=' + fleet.target(host) in f.read(),
                  '%s: the launcher\'s file does not list the target' % host)
        with open(fleet.log(host), encoding='utf-8', errors='replace') as f:
            check(fleet.target(host) in f.read(), '%s: the log does not name the target' % host)

    before = fleet.listing()
    second_time, results = fleet.playbook()
    expect_all(results, 'ok', False, hosts)
    for host in hosts:
        counts = results[host]['result']['counts']
        check(counts['up_to_date'] == results[host]['result']['kit']['entries'],
              '%s: second run counts %s' % (host, counts))
    difference = listing_difference(before, fleet.listing())
    check(not difference, 'the second run changed files on disk:\n' + difference)

    with open(os.path.join(kit_source, 'readme.html'), 'a', encoding='utf-8') as f:
        f.write('<p>Updated.</p>\n')
    with open(os.path.join(kit_source, ADDED_FILE), 'w', encoding='utf-8') as f:
        f.write('a file the update adds\n')
    build_kit(okdpack, kit_source, fleet.kit)
    before = fleet.listing()
    _, results = fleet.playbook('--check', '--diff')
    expect_all(results, 'ok', True, hosts)
    for host in hosts:
        result = results[host]['result']
        check(result['dry_run'] is True, '%s: not a dry run' % host)
        added = os.path.join(fleet.target(host), ADDED_FILE)
        check(added in result['diff']['after'] and added not in result['diff']['before'],
              '%s: the diff does not list %s as new:\n%s' % (host, added, result['diff']))
    difference = listing_difference(before, fleet.listing())
    check(not difference, 'the --check run changed files on disk:\n' + difference)

    broken_target = fleet.target(BROKEN_HOST)
    shutil.rmtree(broken_target)
    with open(broken_target, 'w') as f:
        f.write('not a folder\n')
    reason = fleet.direct_failure_reason(BROKEN_HOST)
    _, results = fleet.playbook(expect_rc=2)
    others = [h for h in hosts if h != BROKEN_HOST]
    expect_all(results, 'ok', True, others)
    broken = results[BROKEN_HOST]
    check(broken['status'] == 'failed', '%s: %s, expected failed' % (BROKEN_HOST, broken['status']))
    check(broken['result']['msg'] == reason,
          '%s: message %r, the wizard says %r' % (BROKEN_HOST, broken['result']['msg'], reason))
    check(broken['result']['failure']['code'] == 'target-not-folder',
          '%s: failure %s' % (BROKEN_HOST, broken['result']['failure']))
    with open(broken_target) as f:
        check(f.read() == 'not a folder\n', '%s: the file standing as target was altered' % BROKEN_HOST)
    for host in others:
        check(os.path.isfile(os.path.join(fleet.target(host), ADDED_FILE)), '%s: the update is missing' % host)

    os.remove(broken_target)
    check_maintenance(fleet, others)

    left = wizard_processes(fleet.wizard, fleet.scratch)
    check(not left, 'wizard processes left running:\n  ' + '\n  '.join(left))
    return first_time, second_time


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--wizard', required=True)
    parser.add_argument('--okdpack', required=True)
    parser.add_argument('--forks', type=int, default=5)
    parser.add_argument('--keep', action='store_true', help='keep the scratch folder')
    args = parser.parse_args()
    playbook_program = shutil.which('ansible-playbook')
    if not playbook_program:
        print('ansible-playbook not found (Debian: apt-get install ansible-core): fleet test skipped')
        return 77
    scratch = tempfile.mkdtemp(prefix='ovn8fleet.')
    fleet = Fleet(scratch, os.path.abspath(args.wizard), args.forks, playbook_program)
    try:
        first, second = run_fleet(fleet, os.path.abspath(args.okdpack), interpreter_of(playbook_program))
    except FleetError as e:
        print('FAILED: %s\n(scratch folder: %s)' % (e, scratch))
        return 1
    print('%d hosts, %d forks: first run %.1f s, second run %.1f s' % (HOST_COUNT, args.forks, first, second))
    if not args.keep:
        shutil.rmtree(scratch)
    return 0


if __name__ == '__main__':
    sys.exit(main())
