#!/usr/bin/python3
# -*- coding: utf-8 -*-
# Installs a configuration kit on a managed host by running the wizard
# unattended and reading the JSON object it writes at the end.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: ovn8_kit
short_description: Install a configuration kit into a template directory with ovn8setup
description:
  - Runs C(ovn8setup --unattended --json) on the managed host with the kit
    found there and reports what the installation changed; with
    C(state=absent) removes what an installation put in the directory
    (C(ovn8setup --uninstall)), and with C(state=verified) only checks that
    the directory still holds what was installed (C(ovn8setup --verify)).
  - The wizard never opens a window or a box in this mode, whatever
    C(DISPLAY) says; its messages go to standard error.
  - The task is C(changed) only when something on disk changed (a file
    written, a folder made, the launcher's file rewritten). A second run of
    the same kit into the same directory reports C(changed=false).
  - On failure the wizard has put the template directory back as it was; the
    task fails with the wizard's reason.
  - The directory is recorded in the launcher's file of the user the task
    runs as (C(~/.Ovan/ovanstart/ovanstart.cfg)); use C(become_user) or
    C(environment) to choose the user and home.
version_added: "1.0.0"
options:
  kit:
    description:
      - Path of the kit on the managed host, under any file name.
      - Required with C(state=present). With C(state=verified) the directory
        is compared with this kit instead of its installation record (for
        directories installed before the record existed). Not used with
        C(state=absent).
    type: path
  target:
    description:
      - The template directory. When omitted, the wizard installs into the
        directory it proposes (the one the launcher's file lists, else its
        default).
      - Required with C(state=absent) and C(state=verified).
    type: path
  language:
    description:
      - Interface language of the wizard's messages and of the product and
        vendor names in the result. When omitted, the host's locale decides.
    type: str
    choices: [ru, uk, en, lv, lt, bg, de, ro, ka, kk, vi, tr]
  log:
    description:
      - A file on the managed host the wizard appends a log of the run to.
    type: path
  state:
    description:
      - C(present) installs the kit's files (those that are missing or older
        than the kit's).
      - C(absent) removes the files the directory's installation put there
        and that are unchanged since, and the folders then empty; changed
        files are kept and listed in RV(changed_kept). The launcher's file
        loses the directory once nothing is left in it. A directory with no
        installation record is already absent (not changed).
      - C(verified) changes nothing and fails when a file of the
        installation is missing, changed or of another kind; the differing
        entries are in RV(entries).
    type: str
    choices: [present, absent, verified]
    default: present
  executable:
    description:
      - The wizard: a name looked up in C(PATH) or a path.
    type: str
    default: ovn8setup
attributes:
  check_mode:
    support: full
    description: Runs the wizard with C(--dry-run), which plans the
      installation and changes nothing anywhere.
  diff_mode:
    support: full
    description: Lists the files that would be written or replaced, and the
      launcher's file when it changes.
notes:
  - Needs only the wizard on the managed host, in a version that knows
    C(--unattended), C(--dry-run) and C(--json).
'''

EXAMPLES = r'''
- name: Install the sales templates
  ovn8_kit:
    kit: /srv/kits/sales.okd
    target: /srv/templates/sales

- name: See what a new kit would change, without changing anything
  ovn8_kit:
    kit: /srv/kits/sales.okd
    target: /srv/templates/sales
  check_mode: true
  diff: true

- name: Fail when a colleague's clean-up damaged the templates
  ovn8_kit:
    target: /srv/templates/sales
    state: verified

- name: Take the templates back out
  ovn8_kit:
    target: /srv/templates/sales
    state: absent

- name: Install for one user, logging the run
  ovn8_kit:
    kit: /srv/kits/sales.okd
    target: /home/anna/templates
    language: de
    log: /var/log/ovn8setup.log
  become: true
  become_user: anna
'''

RETURN = r'''
outcome:
  description: How the run ended, C(installed), C(failed), C(cancelled) or C(refused).
  returned: when the wizard wrote its result
  type: str
  sample: installed
rc:
  description: The wizard's exit status.
  returned: always, except where RV(exit_status) is returned instead
  type: int
  sample: 0
exit_status:
  description: The wizard's exit status where it is not a failure of the task
    (C(state=absent) on a directory with no installation, 1; in check mode, 5
    when some files differ); Ansible would take a non-zero RV(rc) for one.
  returned: with state=absent, in those cases
  type: int
  sample: 1
dry_run:
  description: The run changed nothing (check mode); the counts say what a real run would do.
  returned: when the wizard wrote its result
  type: bool
counts:
  description: What became (or, in check mode, would become) of the kit's entries.
  returned: when the wizard wrote its result
  type: dict
  sample: {"installed": 5, "replaced": 0, "kept_newer": 0, "up_to_date": 0}
target:
  description: The template directory, absolute; null when none was chosen.
  returned: when the wizard wrote its result
  type: str
  sample: /srv/templates/sales
kit:
  description: The kit's path, size, product, vendor and number of entries.
  returned: when the wizard wrote its result
  type: dict
  sample: {"path": "/srv/kits/sales.okd", "size": 48213, "product": "Sales Templates",
           "vendor": "Example Software Ltd.", "entries": 5}
launcher:
  description: Whether a launcher's file was rewritten, and each file's outcome.
  returned: when the wizard wrote its result
  type: dict
  sample: {"changed": true, "files": [{"path": "/home/anna/.Ovan/ovanstart/ovanstart.cfg",
           "updated": true, "error": 0, "reason": ""}]}
failure:
  description: Why the run did not install (code, error, file, reason); null when it did.
  returned: when the wizard wrote its result
  type: dict
  sample: {"code": "target-not-folder", "error": 267, "file": "/srv/templates/sales",
           "reason": "The template directory is a file."}
files:
  description: Every entry of the kit with its action (install, replace, keep-newer, up-to-date,
    update-time).
  returned: in diff mode
  type: list
  elements: dict
entries:
  description: With C(state=verified), the entries that are not as installed
    (path, and state C(missing), C(changed) or C(kind)).
  returned: with state=verified
  type: list
  elements: dict
changed_kept:
  description: With C(state=absent), the changed files that were kept.
  returned: with state=absent
  type: list
  elements: str
stderr:
  description: The wizard's messages.
  returned: always
  type: str
cmd:
  description: The command that was run.
  returned: always
  type: list
  elements: str
'''

import json
import os

from ansible.module_utils.basic import AnsibleModule



def build_command(executable, kit, target=None, language=None, log=None,
                  check_mode=False, diff_mode=False):
    command = [executable, '--unattended', '--json=files' if diff_mode else '--json']
    if check_mode:
        command.append('--dry-run')
    command.append('--kit=' + kit)
    if target:
        command.append('--target=' + target)
    if log:
        command.append('--log=' + log)
    # The first -L ends the wizard's scan of short options, so it goes last.
    if language:
        command.append('-L' + language)
    return command


def parse_result(stdout):
    """The wizard's JSON object, or None when stdout does not hold one."""
    text = stdout.strip()
    if not text:
        return None
    try:
        result = json.loads(text)
    except ValueError:
        return None
    if not isinstance(result, dict) or not isinstance(result.get('changed'), bool) \
            or not isinstance(result.get('outcome'), str):
        return None
    return result


def maintenance_command(executable, verb, target, kit=None, log=None):
    """--verify or --uninstall of a directory, with the JSON result."""
    command = [executable, verb, '--json', '--target=' + target]
    if kit:
        command.append('--kit=' + kit)
    if log:
        command.append('--log=' + log)
    return command


def parse_object(stdout):
    """A maintenance verb's JSON object (it names its outcome), or None."""
    try:
        result = json.loads(stdout.strip() or 'null')
    except ValueError:
        return None
    if not isinstance(result, dict) or not isinstance(result.get('outcome'), str):
        return None
    return result


def failure_code(result):
    return ((result or {}).get('failure') or {}).get('code')


def differences_message(result):
    entries = result.get('entries') or []
    listed = ', '.join('%s %s' % (e.get('state'), e.get('path')) for e in entries[:10])
    more = ' and %d more' % (len(entries) - 10) if len(entries) > 10 else ''
    return '%s differs from what was installed: %s%s' % (result.get('target'), listed, more)


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1].strip() if lines else ''


def launcher_reasons(result):
    files = (result.get('launcher') or {}).get('files') or []
    return ['%s: %s' % (f.get('path'), f.get('reason')) for f in files if not f.get('updated')]


def failure_message(executable, rc, result, stderr):
    """Why the task fails, in the wizard's words when it gave them."""
    if rc < 0:
        return '%s was ended by signal %d' % (executable, -rc)
    if result is None:
        detail = last_line(stderr) or 'no message'
        return '%s ended with status %d and wrote no result: %s' % (executable, rc, detail)
    failure = result.get('failure') or {}
    if failure.get('reason'):
        return failure['reason']
    if result.get('outcome') == 'installed':
        reasons = launcher_reasons(result)
        return ('installed into %s, but the launcher\'s file was not updated: %s'
                % (result.get('target'), '; '.join(reasons) or last_line(stderr)))
    return '%s ended with status %d (%s)' % (executable, rc, failure.get('code') or result.get('outcome'))


def build_diff(result):
    """Before and after listings of the files the run writes (or would write)."""
    before = []
    after = []
    for entry in result.get('files') or []:
        action = entry.get('action')
        path = entry.get('path')
        if action == 'replace':
            before.append('%s (older copy)' % path)
            after.append('%s (kit\'s copy)' % path)
        elif action == 'install':
            after.append('%s (kit\'s copy)' % path)
        elif action == 'update-time':
            before.append('%s (older time)' % path)
            after.append('%s (kit\'s time, same content)' % path)
    launcher = result.get('launcher') or {}
    if launcher.get('changed'):
        for entry in launcher.get('files') or []:
            before.append('%s (launcher\'s file)' % entry.get('path'))
            after.append('%s (launcher\'s file, lists %s first)' % (entry.get('path'), result.get('target')))
    header = result.get('target') or 'template directory'
    return {
        'before_header': header,
        'after_header': header,
        'before': ''.join(line + '\n' for line in before),
        'after': ''.join(line + '\n' for line in after),
    }


def find_executable(module, name):
    """The wizard's path, or None when there is no such executable."""
    if '/' in name:
        return name if os.path.isfile(name) and os.access(name, os.X_OK) else None
    return module.get_bin_path(name)


def run_and_read(module, command):
    # Ansible has expanded ~ and $VAR in the path options once already; a
    # second expansion would alter names that contain them. Bytes that are not
    # UTF-8 in the wizard's messages must not fail the task.
    return module.run_command(command, expand_user_and_vars=False, errors='surrogate_then_replace')


def verify(module, executable, params):
    """state=verified: changes nothing; fails when something differs."""
    command = maintenance_command(executable, '--verify', params['target'], params['kit'], params['log'])
    rc, stdout, stderr = run_and_read(module, command)
    result = parse_object(stdout)
    report = dict(rc=rc, cmd=command, stderr=stderr, changed=False)
    if result is not None:
        for key in ('outcome', 'counts', 'target', 'kit', 'failure'):
            report[key] = result.get(key)
        report['entries'] = result.get('entries') or []
    if rc == 0 and result is not None:
        module.exit_json(**report)
    if rc == 5 and result is not None:
        module.fail_json(msg=differences_message(result), **report)
    module.fail_json(msg=failure_message(params['executable'], rc, result, stderr), **report)


def uninstall(module, executable, params):
    """state=absent: a directory without an installation record is absent
    already. In check mode only --verify runs, which changes nothing."""
    verb = '--verify' if module.check_mode else '--uninstall'
    command = maintenance_command(executable, verb, params['target'], log=params['log'])
    rc, stdout, stderr = run_and_read(module, command)
    result = parse_object(stdout)
    report = dict(rc=rc, cmd=command, stderr=stderr)
    if result is not None:
        for key in ('outcome', 'counts', 'target', 'failure'):
            report[key] = result.get(key)
        report['changed_kept'] = result.get('changed_kept') or []
    # Ansible takes a non-zero rc for a failure: these endings are not.
    if rc == 1 and failure_code(result) == 'no-record':
        report['exit_status'] = report.pop('rc')
        module.exit_json(changed=False, **report)
    if module.check_mode and rc in (0, 5) and result is not None:
        report['exit_status'] = report.pop('rc')
        module.exit_json(changed=True, **report)
    if not module.check_mode and rc == 0 and result is not None:
        module.exit_json(changed=bool(result.get('changed')), **report)
    report['changed'] = bool(result and result.get('changed'))
    module.fail_json(msg=failure_message(params['executable'], rc, result, stderr), **report)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            kit=dict(type='path'),
            target=dict(type='path'),
            language=dict(type='str', choices=['ru', 'uk', 'en', 'lv', 'lt', 'bg',
                                               'de', 'ro', 'ka', 'kk', 'vi', 'tr']),
            log=dict(type='path'),
            state=dict(type='str', default='present', choices=['present', 'absent', 'verified']),
            executable=dict(type='str', default='ovn8setup'),
        ),
        required_if=[('state', 'present', ['kit']), ('state', 'absent', ['target']),
                     ('state', 'verified', ['target'])],
        supports_check_mode=True,
    )
    params = module.params
    executable = find_executable(module, params['executable'])
    if executable is None:
        module.fail_json(msg='%s: no such executable on the managed host (PATH=%s)'
                         % (params['executable'], os.environ.get('PATH', '')),
                         rc=None, cmd=[params['executable']], stderr='')
    if params['state'] == 'verified':
        verify(module, executable, params)
    if params['state'] == 'absent':
        uninstall(module, executable, params)
    command = build_command(executable, params['kit'], params['target'], params['language'],
                            params['log'], module.check_mode, module._diff)
    rc, stdout, stderr = run_and_read(module, command)
    result = parse_result(stdout)
    report = dict(rc=rc, cmd=command, stderr=stderr)
    if result is not None:
        for key in ('outcome', 'dry_run', 'counts', 'target', 'kit', 'launcher', 'failure'):
            report[key] = result.get(key)
        if module._diff:
            report['files'] = result.get('files') or []
        # Only a run that installed has a diff (exit status 4 too: its files
        # are in place). After a failure the actions are only what was
        # planned, and nothing stays changed.
        if module._diff and result.get('outcome') == 'installed':
            report['diff'] = build_diff(result)
    if rc != 0:
        report['changed'] = bool(result and result['changed'])
        module.fail_json(msg=failure_message(params['executable'], rc, result, stderr), **report)
    if result is None:
        module.fail_json(msg='%s wrote no readable result on standard output (does it know --json?)'
                         % params['executable'], changed=False, stdout=stdout, **report)
    if module.check_mode and result.get('dry_run') is not True:
        module.fail_json(msg='%s did not confirm a dry run; it may have changed the directory'
                         % params['executable'], changed=result['changed'], **report)
    module.exit_json(changed=result['changed'], **report)


if __name__ == '__main__':
    main()
