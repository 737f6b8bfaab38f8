# -*- coding: utf-8 -*-
# Copyright: the Kavex Update authors
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The summary of a rollout: one entry per host of the play, over all its batches."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
name: rollout_summary
short_description: The summary of a rollout of kavex.update.kavex_update over the hosts of a play
version_added: "1.0.0"
author:
  - Kavex Update authors (@kavex)
description:
  - Gives one entry per host of the play from the facts the rollout role keeps, so that a
    summary written after any batch tells the whole rollout.
  - A host that has not started is C(not attempted); one that started and left no outcome
    stopped answering, C(unreachable); otherwise its outcome (C(installed), C(would install),
    C(up to date), C(failed) with the reason), with a note when its report was not fetched.
  - Counts are of the hosts that ran (every outcome but C(not attempted)).
positional: hosts, results, check_mode
options:
  _input:
    description: The play's hostvars.
    type: dict
    required: true
  hosts:
    description: Every host of the play, in order (C(ansible_play_hosts_all)).
    type: list
    elements: str
    required: true
  results:
    description: The folder on the controller that holds the fetched reports, C(<host>.json).
    type: str
    required: true
  check_mode:
    description: Whether the play runs in check mode.
    type: bool
    default: false
'''

EXAMPLES = r'''
- name: Gather the hosts' outcomes
  ansible.builtin.set_fact:
    kavex_summary: "{{ hostvars | kavex.update.rollout_summary(ansible_play_hosts_all, kavex_results, ansible_check_mode) }}"
'''

RETURN = r'''
_value:
  description: C(mode), C(counts) (per outcome, hosts that ran), C(hosts) (per host its entry) and C(lines) (one a host).
  type: dict
'''

OUTCOMES = ('installed', 'would install', 'up to date', 'failed', 'unreachable')


def host_entry(facts, host, results):
    """One host's entry from the facts the role left on it."""
    result = facts.get('kavex_result')
    if not facts.get('kavex_attempted'):
        return {'outcome': 'not attempted', 'changed': False, 'reason': 'the rollout stopped before its batch'}
    if not result:
        return {'outcome': 'unreachable', 'changed': False,
                'reason': 'the host stopped answering before its update ended (see the play output)'}
    failed = bool(result.get('failed'))
    entry = {'outcome': 'failed' if failed else result.get('outcome', 'failed'), 'changed': bool(result.get('changed')),
             'exitCode': result.get('exit_code'), 'meaning': result.get('meaning'),
             'reason': result.get('msg') if failed else None, 'message': result.get('msg') or '',
             'installed': sorted(set(i.get('name') for i in result.get('installed') or [])),
             'pending': sorted(set(p.get('name') for p in result.get('pending') or [])),
             'blockingApplications': result.get('blocking_applications') or [],
             'rebootRequired': bool(result.get('reboot_required')), 'report': None}
    if result.get('bundle'):
        entry['bundle'] = result['bundle']
    if result.get('report_path'):
        if facts.get('kavex_fetched'):
            entry['report'] = '%s/%s.json' % (results.rstrip('/'), host)
        else:
            entry['note'] = 'its report %s could not be fetched' % result['report_path']
    return entry


def rollout_summary(hostvars, hosts, results, check_mode=False):
    entries = {}
    lines = []
    for host in hosts:
        entry = host_entry(hostvars[host], host, results)
        entries[host] = entry
        said = [text for text in (entry.get('reason') or entry.get('message'), entry.get('note')) if text]
        lines.append('%s: %s%s' % (host, entry['outcome'], (' - ' + '; '.join(said)) if said else ''))
    counts = dict((outcome, sum(1 for e in entries.values() if e['outcome'] == outcome)) for outcome in OUTCOMES)
    return {'mode': 'check' if check_mode else 'install', 'counts': counts,
            'notAttempted': sorted(h for h, e in entries.items() if e['outcome'] == 'not attempted'),
            'hosts': entries, 'lines': lines}


class FilterModule(object):
    def filters(self):
        return {'rollout_summary': rollout_summary}
