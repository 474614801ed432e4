# Writes every ovn8_kit task result, one JSON object a line, to the file named
# by OVN8_RESULTS_FILE, so that the fleet test reads what Ansible itself
# concluded (changed, failed) for each host. Needs only ansible-core.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
name: ovn8_results
type: aggregate
short_description: Records the ovn8_kit results of a playbook run as JSON lines
description:
  - Appends one line per host and ovn8_kit task to the file OVN8_RESULTS_FILE names.
requirements:
  - enabled in callbacks_enabled
'''

import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'ovn8_results'
    CALLBACK_NEEDS_ENABLED = True

    def _record(self, result, status):
        if not result._task.action.endswith('ovn8_kit'):
            return
        line = {
            'host': result._host.get_name(),
            'status': status,
            'changed': result.is_changed(),
            'result': result._result,
        }
        with open(os.environ['OVN8_RESULTS_FILE'], 'a') as f:
            f.write(json.dumps(line, default=str) + '\n')

    def v2_runner_on_ok(self, result):
        self._record(result, 'ok')

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, 'failed')

    def v2_runner_on_unreachable(self, result):
        self._record(result, 'unreachable')

    def v2_runner_on_skipped(self, result):
        self._record(result, 'skipped')
