"""The ovn8_kit module against a scripted wizard: what it runs, and how it
reads each kind of ending (JSON result, failure, usage error, garbage,
signal, missing program).

Run: python3 -m unittest discover -s contrib/ansible/tests
Exits 77 (skipped) when ansible's Python library is not installed."""

import json
import os
import shlex
import sys
import tempfile
import unittest
from unittest import mock

try:
    from ansible.module_utils import basic
    from ansible.module_utils.common.text.converters import to_bytes
except ImportError:  # pragma: no cover - depends on the machine
    print('ansible (python3) is not installed: skipping the module tests')
    sys.exit(77)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'library'))
import ovn8_kit  # noqa: E402


class ModuleExit(Exception):
    def __init__(self, failed, result):
        super().__init__(result.get('msg'))
        self.failed = failed
        self.result = result


def exit_json(self, **result):
    raise ModuleExit(False, result)


def fail_json(self, **result):
    raise ModuleExit(True, result)


def wizard_result(**fields):
    """A result object as the wizard writes it, with fields overridden."""
    result = {
        'schema': 1, 'outcome': 'installed', 'exit_status': 0, 'dry_run': False,
        'changed': True,
        'kit': {'path': '/kits/a.okd', 'size': 100, 'product': 'P', 'vendor': 'V', 'entries': 2},
        'target': '/t',
        'counts': {'installed': 2, 'replaced': 0, 'kept_newer': 0, 'up_to_date': 0},
        'launcher': {'changed': True, 'files': [
            {'path': '/h/.Ovan/ovanstart/ovanstart.cfg', 'updated': True, 'error': 0, 'reason': ''}]},
        'failure': None,
    }
    result.update(fields)
    return result


class ModuleTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.argv_file = os.path.join(self.tmp.name, 'argv')
        for target, replacement in ((basic.AnsibleModule, 'exit_json'), (basic.AnsibleModule, 'fail_json')):
            patcher = mock.patch.object(target, replacement, exit_json if replacement == 'exit_json' else fail_json)
            patcher.start()
            self.addCleanup(patcher.stop)

    def fake_wizard(self, stdout='', stderr='', status=0, signal_name=None):
        """An executable that records its arguments, one a line, and ends as told."""
        path = os.path.join(self.tmp.name, 'wizard')
        ending = 'kill -%s $$' % signal_name if signal_name else 'exit %d' % status
        with open(path, 'w') as f:
            f.write('#!/bin/sh\n'
                    'for a in "$@"; do printf "%%s\\n" "$a"; done > %s\n'
                    'printf "%%s" %s\n'
                    'printf "%%s" %s >&2\n'
                    '%s\n' % (shlex.quote(self.argv_file), shlex.quote(stdout), shlex.quote(stderr), ending))
        os.chmod(path, 0o755)
        return path

    def run_module(self, check_mode=False, diff=False, **args):
        module_args = dict(args, _ansible_check_mode=check_mode, _ansible_diff=diff)
        with mock.patch.object(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': module_args}))):
            with self.assertRaises(ModuleExit) as ended:
                ovn8_kit.main()
        return ended.exception

    def wizard_argv(self):
        with open(self.argv_file) as f:
            return f.read().splitlines()

    def test_arguments_handed_to_the_wizard(self):
        wizard = self.fake_wizard(json.dumps(wizard_result(dry_run=True)) + '\n')
        # Paths are expanded once, as Ansible does for every path option, and
        # not a second time when the command runs. -L goes last: it ends the
        # wizard's scan of short options.
        with mock.patch.dict(os.environ, {'KITS': '/srv/$HOME'}):
            ended = self.run_module(executable=wizard, kit='$KITS/a kit.okd', target='~/t',
                                    language='de', log='/var/log/w.log', check_mode=True)
        self.assertFalse(ended.failed, ended.result)
        self.assertEqual(self.wizard_argv(), ['--unattended', '--json', '--dry-run', '--kit=/srv/$HOME/a kit.okd',
                                              '--target=' + os.path.expanduser('~/t'), '--log=/var/log/w.log',
                                              '-Lde'])
        self.run_module(executable=wizard, kit='/k.okd', diff=True)
        self.assertEqual(self.wizard_argv(), ['--unattended', '--json=files', '--kit=/k.okd'])

    def test_changed_follows_the_wizard(self):
        for changed in (True, False):
            wizard = self.fake_wizard(json.dumps(wizard_result(changed=changed)))
            ended = self.run_module(executable=wizard, kit='/k.okd')
            self.assertFalse(ended.failed, ended.result)
            self.assertIs(ended.result['changed'], changed)
            self.assertEqual(ended.result['counts']['installed'], 2)
            self.assertEqual(ended.result['target'], '/t')
            self.assertEqual(ended.result['kit']['path'], '/kits/a.okd')
            self.assertTrue(ended.result['launcher']['changed'])
            self.assertEqual(ended.result['rc'], 0)

    def test_check_mode_needs_a_confirmed_dry_run(self):
        # A wizard that ran for real although asked for a dry run must not pass as a check.
        wizard = self.fake_wizard(json.dumps(wizard_result(dry_run=False)))
        ended = self.run_module(executable=wizard, kit='/k.okd', check_mode=True)
        self.assertTrue(ended.failed)
        self.assertIn('dry run', ended.result['msg'])
        self.assertTrue(ended.result['changed'])

    def test_diff_lists_only_the_files_that_change(self):
        files = [{'path': '/t/new.txt', 'action': 'install'},
                 {'path': '/t/old.txt', 'action': 'replace'},
                 {'path': '/t/same.txt', 'action': 'up-to-date'},
                 {'path': '/t/mine.txt', 'action': 'keep-newer'}]
        wizard = self.fake_wizard(json.dumps(wizard_result(files=files)))
        ended = self.run_module(executable=wizard, kit='/k.okd', diff=True)
        self.assertFalse(ended.failed, ended.result)
        diff = ended.result['diff']
        self.assertEqual(diff['before'], "/t/old.txt (older copy)\n"
                                         "/h/.Ovan/ovanstart/ovanstart.cfg (launcher's file)\n")
        self.assertEqual(diff['after'], "/t/new.txt (kit's copy)\n/t/old.txt (kit's copy)\n"
                                        "/h/.Ovan/ovanstart/ovanstart.cfg (launcher's file, lists /t first)\n")
        self.assertEqual(ended.result['files'], files)

        quiet = wizard_result(changed=False, launcher={'changed': False, 'files': []},
                              files=[{'path': '/t/same.txt', 'action': 'up-to-date'}])
        ended = self.run_module(executable=self.fake_wizard(json.dumps(quiet)), kit='/k.okd', diff=True)
        self.assertEqual((ended.result['diff']['before'], ended.result['diff']['after']), ('', ''))

    def test_failure_carries_the_wizards_reason(self):
        failure = {'code': 'target-not-folder', 'error': 267, 'file': '/t',
                   'reason': 'A file stands where the folder /t should be.'}
        result = wizard_result(outcome='refused', exit_status=1, changed=False, failure=failure,
                               counts={'installed': 0, 'replaced': 0, 'kept_newer': 0, 'up_to_date': 0})
        result['files'] = [{'path': '/t/a.txt', 'action': 'install'}]
        wizard = self.fake_wizard(json.dumps(result), stderr='ovn8setup: not a folder\n', status=1)
        ended = self.run_module(executable=wizard, kit='/k.okd', target='/t', diff=True)
        self.assertTrue(ended.failed)
        self.assertEqual(ended.result['msg'], failure['reason'])
        self.assertEqual(ended.result['rc'], 1)
        self.assertEqual(ended.result['failure']['code'], 'target-not-folder')
        self.assertIn('not a folder', ended.result['stderr'])
        self.assertFalse(ended.result['changed'])
        # The planned actions of a run that changed nothing are no diff.
        self.assertNotIn('diff', ended.result)

    def test_launcher_not_updated_fails_but_reports_the_change(self):
        launcher = {'changed': False, 'files': [
            {'path': '/h/.Ovan/ovanstart/ovanstart.cfg', 'updated': False, 'error': 5, 'reason': 'Access denied.'}]}
        files = [{'path': '/t/a.txt', 'action': 'install'}]
        wizard = self.fake_wizard(json.dumps(wizard_result(exit_status=4, launcher=launcher, files=files)), status=4)
        ended = self.run_module(executable=wizard, kit='/k.okd', diff=True)
        self.assertTrue(ended.failed)
        self.assertTrue(ended.result['changed'])
        self.assertEqual(ended.result['diff']['after'], "/t/a.txt (kit's copy)\n")
        self.assertIn('/h/.Ovan/ovanstart/ovanstart.cfg: Access denied.', ended.result['msg'])

    def test_endings_without_a_result(self):
        usage = self.fake_wizard(stderr='ovn8setup: unknown option --taget=/t; see --help\n', status=1)
        ended = self.run_module(executable=usage, kit='/k.okd')
        self.assertTrue(ended.failed)
        self.assertIn('status 1', ended.result['msg'])
        self.assertIn('unknown option --taget=/t', ended.result['msg'])

        for garbage in ('Installed all 2 entries.\n', '[1, 2]', '{"outcome": "installed"}'):
            ended = self.run_module(executable=self.fake_wizard(garbage), kit='/k.okd')
            self.assertTrue(ended.failed, garbage)
            self.assertIn('no readable result', ended.result['msg'])
            self.assertFalse(ended.result['changed'])

        killed = self.fake_wizard(signal_name='TERM')
        ended = self.run_module(executable=killed, kit='/k.okd')
        self.assertTrue(ended.failed)
        self.assertIn('signal 15', ended.result['msg'])

    def test_missing_executable(self):
        for name in (os.path.join(self.tmp.name, 'no-such-wizard'), 'no-such-wizard-in-path'):
            ended = self.run_module(executable=name, kit='/k.okd')
            self.assertTrue(ended.failed)
            self.assertIn(name + ': no such executable', ended.result['msg'])
        not_executable = os.path.join(self.tmp.name, 'plain-file')
        open(not_executable, 'w').close()
        self.assertTrue(self.run_module(executable=not_executable, kit='/k.okd').failed)


    def test_verified_changes_nothing_and_fails_on_differences(self):
        intact = {'schema': 1, 'verb': 'verify', 'outcome': 'intact', 'exit_status': 0, 'target': '/t/',
                  'counts': {'ok': 2, 'missing': 0, 'changed': 0, 'other_kind': 0}, 'entries': [],
                  'failure': None}
        ended = self.run_module(executable=self.fake_wizard(json.dumps(intact)), target='/t', state='verified')
        self.assertFalse(ended.failed, ended.result)
        self.assertFalse(ended.result['changed'])
        self.assertEqual(self.wizard_argv(), ['--verify', '--json', '--target=/t'])

        differs = dict(intact, outcome='differs', exit_status=5,
                       entries=[{'path': 'a.txt', 'state': 'missing'}, {'path': 'f/b.xml', 'state': 'changed'}])
        ended = self.run_module(executable=self.fake_wizard(json.dumps(differs), status=5), target='/t',
                                kit='/k.okd', state='verified')
        self.assertTrue(ended.failed)
        self.assertFalse(ended.result['changed'])
        self.assertIn('missing a.txt, changed f/b.xml', ended.result['msg'])
        self.assertEqual(len(ended.result['entries']), 2)
        self.assertEqual(self.wizard_argv(), ['--verify', '--json', '--target=/t', '--kit=/k.okd'])

        # No record and no kit: nothing to check against is a failure, not a pass.
        refused = dict(intact, outcome='refused', exit_status=1,
                       failure={'code': 'no-record', 'reason': 'no installation record in /t/'})
        ended = self.run_module(executable=self.fake_wizard(json.dumps(refused), status=1), target='/t',
                                state='verified')
        self.assertTrue(ended.failed)
        self.assertIn('no installation record', ended.result['msg'])

    def test_absent_removes_once_and_is_idempotent(self):
        removed = {'schema': 1, 'verb': 'uninstall', 'outcome': 'uninstalled', 'exit_status': 0,
                   'changed': True, 'target': '/t/', 'counts': {'removed': 2}, 'changed_kept': ['/t/mine.txt'],
                   'launcher_removed': False, 'failure': None}
        ended = self.run_module(executable=self.fake_wizard(json.dumps(removed)), target='/t', state='absent')
        self.assertFalse(ended.failed, ended.result)
        self.assertTrue(ended.result['changed'])
        self.assertEqual(ended.result['changed_kept'], ['/t/mine.txt'])
        self.assertEqual(self.wizard_argv(), ['--uninstall', '--json', '--target=/t'])

        gone = dict(removed, outcome='refused', exit_status=1, changed=False, changed_kept=[],
                    failure={'code': 'no-record', 'reason': 'nothing to uninstall'})
        ended = self.run_module(executable=self.fake_wizard(json.dumps(gone), status=1), target='/t',
                                state='absent')
        self.assertFalse(ended.failed, ended.result)
        self.assertFalse(ended.result['changed'])
        # Ansible fails any task whose rc is not 0.
        self.assertNotIn('rc', ended.result)
        self.assertEqual(ended.result['exit_status'], 1)

        damaged = dict(gone, failure={'code': 'record-damaged', 'reason': 'cannot be trusted'})
        ended = self.run_module(executable=self.fake_wizard(json.dumps(damaged), status=1), target='/t',
                                state='absent')
        self.assertTrue(ended.failed)
        self.assertIn('cannot be trusted', ended.result['msg'])

    def test_absent_in_check_mode_only_verifies(self):
        differs = {'schema': 1, 'verb': 'verify', 'outcome': 'differs', 'exit_status': 5, 'target': '/t/',
                   'entries': [{'path': 'a.txt', 'state': 'changed'}], 'failure': None}
        ended = self.run_module(executable=self.fake_wizard(json.dumps(differs), status=5), target='/t',
                                state='absent', check_mode=True)
        self.assertFalse(ended.failed, ended.result)
        self.assertTrue(ended.result['changed'])
        self.assertEqual(self.wizard_argv()[0], '--verify')

    def test_each_state_names_what_it_needs(self):
        wizard = self.fake_wizard('{}')
        self.assertTrue(self.run_module(executable=wizard).failed)
        self.assertTrue(self.run_module(executable=wizard, state='absent', kit='/k.okd').failed)
        self.assertTrue(self.run_module(executable=wizard, state='verified').failed)

if __name__ == '__main__':
    unittest.main()
