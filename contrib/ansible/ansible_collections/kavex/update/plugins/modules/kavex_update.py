#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the Kavex Update authors
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
# Runs the patch installer of a bundle already on the host: a check in check mode,
# else a silent run; reads its JSON report and answers in Ansible's terms.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: kavex_update
short_description: Install the patches of an Update.app bundle on the host
description:
  - Runs the machine's C(kavex-update) (C(<machine root>/usr/libexec/kavex/kavex-update), from the
    C(kavex-update) package) on a bundle that is already on the host, or, where the machine has
    none, the bundle's own C(Update.app/Contents/MacOS/Update), with C(--mode=silent) and
    C(--report), and reports what it did from the program's JSON report.
  - In check mode it runs the program's C(--mode=check) instead, which changes nothing;
    C(changed) then says whether a real run would install anything.
  - The module copies nothing. Deliver the bundle with M(ansible.builtin.copy),
    M(ansible.builtin.unarchive) or M(ansible.posix.synchronize) first.
  - A real run needs root (C(become)); without it the module refuses. A check runs as any user
    that can read the product stores, with the bundle's own program.
  - The machine's folders are those of the program; a sandbox machine root is given to the
    program through the task's C(environment) (C(KAVEX_SYSTEM_ROOT)).
  - Exit codes that mean there is nothing to do (29, and 0 when nothing was installed) give
    C(ok). A bundle the machine refuses (35, not signed by a key it trusts) fails the task with
    the reason. Codes that mean "try later" (30 a conflicting application is running, 34 another
    installer is running, 25 not enough disk space) fail the task with the program's message,
    naming the applications, the lock or the volume. Every other failure fails the task with
    the code's meaning, as the program's report gives it.
  - As root the program, and every folder above it, must belong to root (or the running user)
    and be writable by nobody else, since the module runs it with the module's rights;
    the same holds for C(report_dir). A C(kavex-update) that is present but that others may
    change fails the task rather than being passed over.
  - The parsed report, and the program's output, are returned only with C(-v) or more; the
    report stays on the host in C(report_dir).
version_added: "1.0.0"
requirements:
  - python >= 3.6 on the host
options:
  bundle:
    description:
      - The folder on the host that holds C(Update.app), the C(extensions) of the patches and
        C(setup.xml).
      - An absolute path.
    type: path
    required: true
  report_dir:
    description:
      - A folder on the host that keeps each run's JSON report, as
        C(kavex-update-<UTC time>-<check|silent>-<pid>.json). It is made (mode 0755) when missing.
      - When not given, the report is written to a temporary folder and removed once read;
        it is still returned in C(report).
    type: path
  timeout:
    description:
      - Seconds the program may run. When they have passed the program is stopped and the task
        fails; a setup it started keeps running to its end (the next run finds it and ends
        with 34).
    type: int
    default: 3600
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Runs the program's own check, which copies, launches and writes nothing.
  diff_mode:
    support: full
    details: Per installation, the patches pending before the run and those installed after it.
  platform:
    support: full
    platforms: posix
notes:
  - Hosts that share one machine (sandbox roots on one system) share its named locks; run them
    one after the other (C(--forks 1) or C(throttle)).
seealso:
  - module: ansible.builtin.copy
  - module: ansible.builtin.unarchive
author:
  - Kavex Update authors (@kavex)
'''

EXAMPLES = r'''
- name: Install the bundle's patches
  become: true
  kavex_update:
    bundle: /var/lib/kavex/bundle
    report_dir: /var/lib/kavex/reports
  register: update

- name: See what a run would do (changes nothing)
  kavex.update.kavex_update:
    bundle: /var/lib/kavex/bundle
  check_mode: true
  register: check

- name: A sandbox machine
  become: true
  kavex.update.kavex_update:
    bundle: /srv/sandbox/bundle
    timeout: 600
  environment:
    KAVEX_SYSTEM_ROOT: /srv/sandbox/machine
'''

RETURN = r'''
exit_code:
  description:
    - The program's exit code, in full from its report (the process status keeps only its low 8 bits).
    - Without a report the process status, negative for the signal that ended it.
  returned: when the program ran
  type: int
  sample: 29
meaning:
  description: What the exit code means, as the program's report words it.
  returned: when the program ran
  type: str
  sample: The patch is already installed
outcome:
  description: C(installed), C(up to date), C(would install) (check mode) or C(failed).
  returned: always
  type: str
  sample: installed
installed:
  description: The installations a real run installed a patch in (code, name, session).
  returned: when the program ran
  type: list
  elements: dict
  sample: [{"code": "{D0C0FFEE-0000-4000-8000-000000000501}", "name": "Photo Studio Update 5.0.1", "sessionID": "{PHOTO-SESSION-1}"}]
pending:
  description: The installations a run would install a patch in (the program's plan); in a real run, what it planned.
  returned: when the program ran
  type: list
  elements: dict
blocking_applications:
  description: The running applications that keep the patches from being installed (code 30).
  returned: when the program ran
  type: list
  elements: str
  sample: ["Photo Studio"]
reboot_required:
  description: The program asked for a restart of the machine (code 8).
  returned: when the program ran
  type: bool
bundle:
  description: The program's verdict on the bundle's signature (state, key, series, version, expiry, signers, rule, reason), as far as its report gives them.
  returned: when the report has them
  type: dict
  sample: {"state": "valid", "keyId": "3f2a9c1b", "series": "2026-12", "version": "5.0.1"}
report:
  description: The program's JSON report of the run, parsed.
  returned: with -v, when the program wrote one
  type: dict
report_path:
  description: Where the report is kept on the host.
  returned: when C(report_dir) is given and the program wrote a report
  type: str
  sample: /var/lib/kavex/reports/kavex-update-20261208T010203Z-silent-4242.json
program:
  description: The program that ran.
  returned: when the program ran
  type: str
  sample: /usr/libexec/kavex/kavex-update
stdout:
  description: The program's standard output.
  returned: with -v, when the program ran
  type: str
stderr:
  description: The program's standard error.
  returned: with -v, when the program ran
  type: str
msg:
  description: What happened, in one line.
  returned: always
  type: str
  sample: "Installed Photo Studio Update 5.0.1 in 2 installation(s)"
'''

import json
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule

PROGRAM = 'Update.app/Contents/MacOS/Update'
MACHINE_PROGRAM = 'usr/libexec/kavex/kavex-update'
REPORT_MAX_BYTES = 64 * 1024 * 1024
# The codes that ask to try again later; they fail the task so that retries work.
DISK_SPACE = 25
CONFLICTING_APPLICATION = 30
ANOTHER_INSTALLER = 34
ALREADY_INSTALLED = 29
BUNDLE_REFUSED = 35
SUCCESS = 0
RESTART_NEEDED = 8
VERDICT_FIELDS = ('state', 'keyId', 'series', 'version', 'expiry', 'signers', 'rule', 'reason')


def unsafe_reason(path, final_is_file, trusted=None):
    """Why root should not trust path: a component someone else may change."""
    trusted = trusted or (0, os.geteuid())
    parts = path.split('/')
    for i in range(1, len(parts) + 1):
        current = '/'.join(parts[:i]) or '/'
        try:
            st = os.lstat(current)
        except OSError as e:
            return '%s: %s' % (current, e.strerror)
        last = i == len(parts)
        if stat.S_ISLNK(st.st_mode):
            return '%s is a symbolic link' % current
        if last and final_is_file and not stat.S_ISREG(st.st_mode):
            return '%s is not a regular file' % current
        if not (last and final_is_file) and not stat.S_ISDIR(st.st_mode):
            return '%s is not a folder' % current
        if st.st_uid not in trusted:
            return '%s belongs to user %d' % (current, st.st_uid)
        sticky = stat.S_ISDIR(st.st_mode) and st.st_mode & stat.S_ISVTX and st.st_uid == 0
        if st.st_mode & stat.S_IWOTH and not sticky:
            return '%s is writable by everyone' % current
        if st.st_mode & stat.S_IWGRP and st.st_gid != 0 and not sticky:
            return '%s is writable by group %d' % (current, st.st_gid)
    return None


def read_report(path):
    """(report, problem): the report read without following a link, within a size bound."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        return None, 'no report at %s (%s)' % (path, e.strerror)
    with os.fdopen(fd, 'rb') as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None, '%s is not a regular file' % path
        data = f.read(REPORT_MAX_BYTES + 1)
    if len(data) > REPORT_MAX_BYTES:
        return None, '%s is larger than %d bytes' % (path, REPORT_MAX_BYTES)
    try:
        report = json.loads(data.decode('utf-8'))
    except ValueError as e:
        return None, '%s is no JSON document (%s)' % (path, e)
    if not isinstance(report, dict) or not isinstance(report.get('exit'), dict):
        return None, '%s holds no exit record' % path
    return report, None


def run_program(argv, timeout):
    """(status, stdout, stderr, timed_out); status is negative for a signal."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            cwd='/', close_fds=True)
    try:
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, err, False
    except subprocess.TimeoutExpired:
        pass
    # Only the program is stopped: a setup it started is left to finish its installation.
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    out = err = b''
    try:
        out, err = proc.communicate(timeout=5)
    except subprocess.TimeoutExpired:
        pass  # a setup still holds the pipes
    return proc.returncode, out, err, True


def entry(item, names):
    return {'code': item.get('code'), 'name': item.get('displayName') or names.get(item.get('code'), item.get('code')),
            'sessionID': item.get('sessionID')}


def describe(entries):
    by_name = {}
    for e in entries:
        by_name[e['name']] = by_name.get(e['name'], 0) + 1
    return ', '.join('%s in %d installation(s)' % (name, count) for name, count in sorted(by_name.items()))


def one_line(text):
    """The program's words without its line breaks (it writes CR LF between listed names)."""
    return ' '.join(str(text).split())


def reasons(code, report):
    """The program's account of what stands in the way, for the codes that ask to try later."""
    checks = report.get('checks') or {}
    if code == CONFLICTING_APPLICATION:
        apps = [a for a in checks.get('applications', []) if a.get('blocking')] or checks.get('applications', [])
        return ', '.join('%s (pid %s)' % (a.get('name'), ', '.join(str(p) for p in a.get('pids', []))) for a in apps)
    if code == DISK_SPACE:
        short = [v for v in checks.get('volumes', []) if not v.get('enough', True)]
        return ', '.join('%s (%s): %s bytes needed, %s free' % (v.get('name'), v.get('root'), v.get('neededBytes'), v.get('freeBytes'))
                         for v in short)
    if code == ANOTHER_INSTALLER:
        held = []
        for lock in checks.get('locks', []):
            if lock.get('state') == 'busy':
                holder = lock.get('holder')
                held.append('%s held%s' % (lock.get('name'),
                                           ' by %s (pid %s)' % (holder.get('name'), holder.get('pid')) if holder else ''))
        return ', '.join(held)
    if code == BUNDLE_REFUSED:
        return (report.get('bundle') or {}).get('reason') or ''
    return ''


def installation_lines(entries, state):
    return ''.join('%s: %s %s\n' % (e.get('sessionID') or '-', e['name'], state)
                   for e in sorted(entries, key=lambda e: (e.get('sessionID') or '', e['name'])))


def diff_of(pending, installed, check_mode):
    """Per installation, what was pending before and what is installed after (or would be)."""
    after_installed = pending if check_mode else installed
    done = set((e.get('sessionID'), e['code']) for e in after_installed)
    still = [e for e in pending if (e.get('sessionID'), e['code']) not in done]
    return {'before_header': 'patches pending', 'after_header': 'patches installed',
            'before': installation_lines(pending, 'pending'),
            'after': installation_lines(after_installed, 'installed') + installation_lines(still, 'pending')}


def machine_program(module):
    """The machine's kavex-update when it has one, else None; a failure when others may change it."""
    root = os.environ.get('KAVEX_SYSTEM_ROOT') or '/'
    path = os.path.join(root, MACHINE_PROGRAM)
    if not os.path.lexists(path):
        return None
    problem = unsafe_reason(os.path.normpath(path), True, trusted=(0,))
    if problem:
        module.fail_json(msg='will not run %s: %s' % (path, problem), changed=False, outcome='failed')
    return path


def report_path_in(module, report_dir, mode):
    """(folder, temporary folder or None)."""
    if not report_dir:
        temporary = tempfile.mkdtemp(prefix='kavex-update-', dir='/tmp')
        return temporary, temporary
    report_dir = os.path.realpath(report_dir)
    try:
        os.makedirs(report_dir, mode=0o755, exist_ok=True)
    except OSError as e:
        module.fail_json(msg='cannot make report_dir %s: %s' % (report_dir, e.strerror), changed=False, outcome='failed')
    problem = unsafe_reason(report_dir, False)
    if problem:
        module.fail_json(msg='will not keep reports in %s: %s' % (report_dir, problem), changed=False,
                         outcome='failed')
    return report_dir, None


def main():
    module = AnsibleModule(
        argument_spec=dict(
            bundle=dict(type='path', required=True),
            report_dir=dict(type='path'),
            timeout=dict(type='int', default=3600),
        ),
        supports_check_mode=True,
    )
    bundle = module.params['bundle']
    timeout = module.params['timeout']
    verbose = module._verbosity >= 1  # pylint: disable=protected-access
    result = dict(changed=False, outcome='failed')

    if os.geteuid() != 0 and not module.check_mode:
        module.fail_json(msg='kavex_update installs as root: run the task with become: true '
                             '(a check, in check mode, needs no root)', **result)
    if not os.path.isabs(bundle):
        module.fail_json(msg='bundle must be an absolute path, not %s' % bundle, **result)
    if timeout <= 0:
        module.fail_json(msg='timeout must be a positive number of seconds', **result)
    bundle = os.path.realpath(bundle)
    mode = 'check' if module.check_mode else 'silent'
    # kavex-update is root's way in; an ordinary user's check runs the bundle's program with that user's rights.
    tool = machine_program(module) if os.geteuid() == 0 else None
    if tool:
        program = tool
    else:
        program = os.path.join(bundle, PROGRAM)
        if not os.path.isfile(program):
            module.fail_json(msg='%s holds no %s, and the machine has no %s' % (bundle, PROGRAM, MACHINE_PROGRAM),
                             **result)
        problem = unsafe_reason(program, True)
        if problem:
            module.fail_json(msg='will not run %s: %s' % (program, problem), **result)

    folder, temporary = report_path_in(module, module.params['report_dir'], mode)
    report_path = os.path.join(folder, 'kavex-update-%s-%s-%d.json' % (time.strftime('%Y%m%dT%H%M%SZ', time.gmtime()),
                                                                       mode, os.getpid()))
    argv = [program, '--mode=' + mode, '--report=' + report_path] + ([bundle] if tool else [])
    try:
        status, out, err, timed_out = run_program(argv, timeout)
        report, report_problem = read_report(report_path)
    except OSError as e:
        module.fail_json(msg='cannot run %s: %s' % (program, e.strerror), **result)
    finally:
        if temporary:
            shutil.rmtree(temporary, ignore_errors=True)

    result['program'] = program
    stderr = err.decode('utf-8', 'replace')
    if verbose:
        result['stdout'] = out.decode('utf-8', 'replace')
        result['stderr'] = stderr
    if timed_out:
        result['exit_code'] = status
        result['meaning'] = 'stopped after %d seconds' % timeout
        module.fail_json(msg='%s did not end within %d seconds and was stopped; a setup it started may still '
                             'be running' % (os.path.basename(program), timeout), **result)
    if report is None:
        # The program ended before it could report, e.g. the loader did not find its libraries (127).
        result['exit_code'] = status
        result['meaning'] = ('ended by signal %d' % -status) if status < 0 else 'ended without a report'
        last = stderr.strip().splitlines()[-1:] or ['']
        said = ': ' + one_line(last[0]) if last[0] else ''
        module.fail_json(msg='%s ended with status %d and %s%s' % (os.path.basename(program), status, report_problem, said), **result)

    if not temporary:
        result['report_path'] = report_path
    code = report['exit'].get('code', status)
    meaning = report['exit'].get('meaning') or 'exit code %s' % code
    message = one_line(report['exit'].get('message') or '')
    names = dict((p.get('code'), '%s %s' % (p.get('productName'), p.get('productVersion')))
                 for p in report.get('patches') or [])
    installed = [entry(launch, names) for launch in report.get('launches') or []
                 if launch.get('launched') and launch.get('result') == 0]
    pending = [entry(p, names) for p in report.get('plan') or []]
    checks = report.get('checks') or {}
    result.update(exit_code=code, meaning=meaning, installed=installed, pending=pending,
                  reboot_required=code == RESTART_NEEDED,
                  blocking_applications=[a.get('name') for a in checks.get('applications', []) if a.get('blocking')])
    verdict = report.get('bundle')
    if isinstance(verdict, dict):
        result['bundle'] = dict((k, verdict[k]) for k in VERDICT_FIELDS if k in verdict)
    if verbose:
        result['report'] = report
    if module._diff:  # pylint: disable=protected-access
        result['diff'] = diff_of(pending, installed, module.check_mode)

    if code in (SUCCESS, RESTART_NEEDED, ALREADY_INSTALLED):
        if module.check_mode:
            result['changed'] = code != ALREADY_INSTALLED and bool(pending)
            result['outcome'] = 'would install' if result['changed'] else 'up to date'
            result['msg'] = ('Would install %s' % describe(pending)) if result['changed'] else 'Nothing to install (%s)' % meaning
        else:
            result['changed'] = bool(installed)
            result['outcome'] = 'installed' if installed else 'up to date'
            result['msg'] = ('Installed %s' % describe(installed)) if installed else 'Nothing to install (%s)' % meaning
            if code == RESTART_NEEDED:
                result['msg'] += '; the machine must be restarted'
        module.exit_json(**result)

    # The program's message repeats what the detail already names (the applications, the lock).
    detail = reasons(code, report)
    text = '%s (%d)' % (meaning, code)
    if detail:
        text += ': ' + one_line(detail)
    elif message:
        text += ' - ' + message
    module.fail_json(msg=text, **result)


if __name__ == '__main__':
    main()
