#!/usr/bin/env python3
"""The Ansible module and its playbook, run by ansible-playbook against sandbox machines of this host.

    AnsiblePlaybookTest.py --source <project folder> --build <build folder> [unittest arguments]

Each host of an inventory is this machine (local connection) with its own sandbox machine root
(KAVEX_SYSTEM_ROOT) and its own delivery folder. Ends with 77 (skipped) when not run as root.
"""
import argparse
import ctypes
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tarfile
import tempfile
import threading
import unittest

SOURCE = BUILD = COLLECTIONS = None
PHOTO_PATCH = 'Photo Studio Update 5.0.1'
BLOCKER = 'KvxAnsibleBlk'  # within the 15 characters of a process name
UNKNOWN_ERROR = 2147483647
CLONE_NEWIPC = 0x08000000


def die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def snapshot(root):
    """Every entry under root with its type, mode, size, times and content digest."""
    entries = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            digest = None
            if stat.S_ISREG(st.st_mode):
                with open(path, 'rb') as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            entries[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns, digest)
    return entries


def invocation_logs(machine):
    return sorted(os.path.relpath(os.path.join(folder, 'invocations.log'), machine)
                  for folder, _, files in os.walk(machine) if 'invocations.log' in files)


class Sandbox:
    """A folder of machines, bundles and inventories: root's, mode 0755, as the program requires."""

    def __init__(self, where=None):
        self.root = tempfile.mkdtemp(prefix='kavex-ansible-', dir=where)
        os.chmod(self.root, 0o755)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def machine(self, name):
        """The demo's machine; its bundle folder (patches, setup.xml, program, pages) beside it."""
        machine, bundle = self.path(name, 'machine'), self.path(name, 'bundle')
        os.makedirs(machine)
        os.makedirs(bundle)
        subprocess.run([os.path.join(BUILD, 'tools', 'DemoMachine'), machine, bundle,
                        os.path.join(BUILD, 'tools', 'Setup')], check=True)
        shutil.copytree(os.path.join(BUILD, 'Update.app'), os.path.join(bundle, 'Update.app'), symlinks=True)
        os.makedirs(os.path.join(bundle, 'resources'))
        for page in ('main.html', 'main.css', 'main.js', 'main.xml'):
            shutil.copy(os.path.join(SOURCE, 'resources', page), os.path.join(bundle, 'resources'))
        return machine, bundle

    def archive(self, bundle):
        path = bundle + '.tar.gz'
        with tarfile.open(path, 'w:gz') as tar:
            for name in sorted(os.listdir(bundle)):
                tar.add(os.path.join(bundle, name), arcname=name)
        return path

    def inventory(self, hosts, archive):
        """hosts: (name, machine root) or (name, machine root, the host's own bundle archive)."""
        lines = ['[sandbox]']
        for name, machine, *own in hosts:
            lines.append('%s ansible_connection=local ansible_python_interpreter=/usr/bin/python3 '
                         'ansible_become_method=su kavex_system_root=%s kavex_home=%s%s'
                         % (name, machine, self.path('host-' + name),
                            ''.join(' kavex_bundle_archive=' + a for a in own)))
        lines += ['[sandbox:vars]', 'kavex_bundle_archive=' + archive]
        path = self.path('inventory-%d.ini' % len(os.listdir(self.root)))
        with open(path, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        return path

    def play(self, inventory, *extra, **how):
        """(status, output, summary, results folder) of one ansible-playbook run of the collection's rollout."""
        proc, results = self.start_play(inventory, *extra, **how)
        proc.wait(timeout=600)
        return (proc.returncode, self.output(proc)) + self.summary(results)

    @staticmethod
    def output(proc):
        with open(proc.output_path, 'rb') as f:
            return f.read().decode('utf-8', 'replace')

    def start_play(self, inventory, *extra, forks=1, ssh=False):
        """The running ansible-playbook and its results folder (a folder the playbook makes)."""
        results = os.path.join(tempfile.mkdtemp(dir=self.root, prefix='results-'), 'collected')
        env = dict(os.environ, ANSIBLE_LOCAL_TEMP=self.path('ansible-local'), ANSIBLE_REMOTE_TEMP=self.path('ansible-remote'),
                   ANSIBLE_HOME=self.path('ansible-home'), ANSIBLE_NOCOLOR='1', ANSIBLE_RETRY_FILES_ENABLED='0',
                   ANSIBLE_CONFIG=self.path('no-ansible.cfg'), ANSIBLE_COLLECTIONS_PATH=COLLECTIONS)
        if ssh:
            # A connection per command, as a host whose sshd has gone cannot be reached through an old one;
            # a module runs within one (no upload or clean-up after it).
            env.update(ANSIBLE_SSH_ARGS='-o ControlMaster=no -o ControlPath=none', ANSIBLE_PIPELINING='1')
            del env['ANSIBLE_REMOTE_TEMP']
        # the sandbox root comes from the inventory alone, to a program that is root's own
        for name in ('KAVEX_SYSTEM_ROOT', 'SUDO_UID', 'SUDO_GID', 'SUDO_USER', 'SUDO_COMMAND', 'PKEXEC_UID'):
            env.pop(name, None)
        # Sandbox hosts on this machine share its named locks: one host after the other, unless each has its own.
        command = ['ansible-playbook', '-i', inventory, '-e', 'kavex_results=' + results, 'kavex.update.rollout']
        if forks is not None:
            command[1:1] = ['--forks', str(forks)]
        output_path = os.path.join(os.path.dirname(results), 'output.txt')
        with open(output_path, 'wb') as output:
            proc = subprocess.Popen(command + list(extra), stdout=output, stderr=subprocess.STDOUT, env=env,
                                    cwd=self.root, preexec_fn=die_with_parent)
        proc.output_path = output_path
        return proc, results

    @staticmethod
    def summary(results):
        summary = None
        if os.path.exists(os.path.join(results, 'summary.json')):
            with open(os.path.join(results, 'summary.json')) as f:
                summary = json.load(f)
        return summary, results


class Playbook(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(shutil.rmtree, self.box.root, True)

    def host(self, summary, name):
        self.assertIsNotNone(summary, 'no summary written')
        return summary['hosts'][name]

    def test_check_changes_nothing_then_the_first_run_installs_and_the_second_finds_nothing_left(self):
        machine, bundle = self.box.machine('m')
        inventory = self.box.inventory([('ws1', machine)], self.box.archive(bundle))

        before = snapshot(machine)
        status, output, summary, _ = self.box.play(inventory, '--check')
        self.assertEqual(0, status, output)
        check = self.host(summary, 'ws1')
        self.assertEqual(('would install', True, 0, 'Success'),
                         (check['outcome'], check['changed'], check['exitCode'], check['meaning']), output)
        self.assertEqual([PHOTO_PATCH], check['pending'])
        self.assertEqual('check', summary['mode'])
        self.assertEqual(before, snapshot(machine), 'the check changed the machine')
        with open(check['report']) as f:
            report = json.load(f)
        self.assertEqual(('check', 2), (report['mode'], len(report['plan'])))
        self.assertIn('ws1: would install - Would install %s in 2 installation(s)' % PHOTO_PATCH, output)

        status, output, summary, results = self.box.play(inventory)
        self.assertEqual(0, status, output)
        first = self.host(summary, 'ws1')
        self.assertEqual(('installed', True, 0, [PHOTO_PATCH]),
                         (first['outcome'], first['changed'], first['exitCode'], first['installed']), output)
        self.assertEqual(['Library/Application Support/Kavex/Installers/{PHOTO-SESSION-1}/invocations.log',
                          'Library/Application Support/Kavex/Installers/{PHOTO-SESSION-2}/invocations.log'],
                         invocation_logs(machine))
        # the host's report, collected on the controller
        with open(first['report']) as f:
            report = json.load(f)
        self.assertEqual(('silent', 0, machine), (report['mode'], report['exit']['code'], report['machineRoot']))
        self.assertEqual(os.path.join(results, 'ws1.json'), first['report'])
        kept = os.listdir(self.box.path('host-ws1', 'reports'))
        self.assertEqual(1, len([k for k in kept if re.match(r'kavex-update-\d{8}T\d{6}Z-silent-\d+\.json$', k)]), kept)

        for log in invocation_logs(machine):
            os.remove(os.path.join(machine, log))
        status, output, summary, _ = self.box.play(inventory)
        self.assertEqual(0, status, output)
        second = self.host(summary, 'ws1')
        self.assertEqual(('up to date', False, 29, 'The patch is already installed', []),
                         (second['outcome'], second['changed'], second['exitCode'], second['meaning'],
                          second['installed']), output)
        self.assertRegex(output, r'ws1\s+: ok=\d+\s+changed=0\s+unreachable=0\s+failed=0')
        self.assertEqual([], invocation_logs(machine))

    def test_a_blocking_application_fails_the_task_and_is_named(self):
        machine, bundle = self.box.machine('m')
        proxy = os.path.join(bundle, 'extensions', 'PhotoStudioUpdate', 'PhotoStudioUpdate.proxy.xml')
        with open(proxy) as f:
            text = f.read()
        with open(proxy, 'w') as f:
            f.write(text.replace('</PayloadInfo>', '  <ConflictingProcesses><OSX><Process blocking="1">%s</Process>'
                                                   '</OSX></ConflictingProcesses>\n</PayloadInfo>' % BLOCKER))
        inventory = self.box.inventory([('ws1', machine)], self.box.archive(bundle))
        app = self.box.path(BLOCKER)
        shutil.copy('/bin/sleep', app)
        blocker = subprocess.Popen([app, '300'], preexec_fn=die_with_parent)
        self.addCleanup(blocker.wait)
        self.addCleanup(blocker.kill)

        status, output, summary, _ = self.box.play(inventory)
        self.assertNotEqual(0, status, output)
        host = self.host(summary, 'ws1')
        self.assertEqual(('failed', 30, [BLOCKER]), (host['outcome'], host['exitCode'], host['blockingApplications']),
                         output)
        self.assertIn('A conflicting application is running (30): %s (pid %d)' % (BLOCKER, blocker.pid), host['reason'])
        self.assertRegex(output, r'fatal: \[ws1\]: FAILED!.*A conflicting application is running \(30\): ' + BLOCKER)
        self.assertRegex(output, r'ws1\s+: ok=\d+\s+changed=\d+\s+unreachable=0\s+failed=1')
        self.assertEqual([], invocation_logs(machine))

    def test_a_broken_bundle_fails_with_its_meaning(self):
        machine, bundle = self.box.machine('m')
        shutil.rmtree(os.path.join(bundle, 'extensions'))
        with open(os.path.join(bundle, 'extensions'), 'w') as f:
            f.write('not a folder\n')
        inventory = self.box.inventory([('ws1', machine)], self.box.archive(bundle))

        status, output, summary, _ = self.box.play(inventory)
        self.assertNotEqual(0, status, output)
        host = self.host(summary, 'ws1')
        self.assertEqual(('failed', UNKNOWN_ERROR, 'Unknown error'), (host['outcome'], host['exitCode'], host['meaning']),
                         output)
        self.assertTrue(host['reason'].startswith('Unknown error (%d)' % UNKNOWN_ERROR), host['reason'])
        self.assertEqual([], invocation_logs(machine))

    def test_two_hosts_get_their_own_results_in_one_summary(self):
        fresh, bundle = self.box.machine('a')
        damaged, _ = self.box.machine('b')
        store = os.path.join(damaged, 'Library', 'Application Support', 'Kavex')
        shutil.rmtree(os.path.join(store, 'moxa'))
        shutil.rmtree(os.path.join(store, 'backup'))
        inventory = self.box.inventory([('ws-a', fresh), ('ws-b', damaged)], self.box.archive(bundle))

        status, output, summary, results = self.box.play(inventory)
        self.assertNotEqual(0, status, output)  # ws-b failed
        a, b = self.host(summary, 'ws-a'), self.host(summary, 'ws-b')
        self.assertEqual(('installed', [PHOTO_PATCH]), (a['outcome'], a['installed']), output)
        self.assertEqual(('failed', 31), (b['outcome'], b['exitCode']), output)
        self.assertTrue(b['reason'].startswith(b['meaning'] + ' (31)'), b['reason'])
        self.assertIn('installed-products store', b['meaning'])
        self.assertEqual({'installed': 1, 'would install': 0, 'up to date': 0, 'failed': 1, 'unreachable': 0}, summary['counts'])
        self.assertEqual(2, len(invocation_logs(fresh)))
        self.assertEqual([], invocation_logs(damaged))
        for name, machine in (('ws-a', fresh), ('ws-b', damaged)):
            with open(os.path.join(results, name + '.json')) as f:
                self.assertEqual(machine, json.load(f)['machineRoot'])
        self.assertRegex(output, r'ws-a\s+: ok=\d+\s+changed=\d+\s+unreachable=0\s+failed=0')
        self.assertRegex(output, r'ws-b\s+: ok=\d+\s+changed=\d+\s+unreachable=0\s+failed=1')


    def test_try_later_codes_are_tried_again_then_fail_with_the_volume_or_the_other_installer(self):
        short, huge = self.box.machine('space')
        proxy = os.path.join(huge, 'extensions', 'PhotoStudioUpdate', 'PhotoStudioUpdate.proxy.xml')
        with open(proxy) as f:
            text = f.read()
        with open(proxy, 'w') as f:
            f.write(re.sub(r'<TotalSize>\d+</TotalSize>', '<TotalSize>999999999999999999</TotalSize>', text))
        busy, bundle = self.box.machine('busy')
        # a setup that an earlier run started still runs there
        held = open(os.path.join(busy, 'Library', 'Application Support', 'Kavex', 'Installers', '{PHOTO-SESSION-1}',
                                 '.setup-running.lock'), 'w')
        self.addCleanup(held.close)
        fcntl.flock(held, fcntl.LOCK_EX)
        inventory = self.box.inventory([('ws-space', short, self.box.archive(huge)), ('ws-busy', busy)],
                                       self.box.archive(bundle))

        status, output, summary, _ = self.box.play(inventory, '-e', 'kavex_retries=1', '-e', 'kavex_retry_delay=0')
        self.assertNotEqual(0, status, output)
        for host in ('ws-space', 'ws-busy'):
            self.assertRegex(output, r'FAILED - RETRYING: \[%s\]: Install \(1 retries left\)' % host)
            self.assertRegex(output, r'%s\s+: ok=\d+\s+changed=\d+\s+unreachable=0\s+failed=1' % host)
        space, other = self.host(summary, 'ws-space'), self.host(summary, 'ws-busy')
        self.assertEqual(('failed', 25), (space['outcome'], space['exitCode']), output)
        self.assertRegex(space['reason'], r'^Not enough disk space \(25\): \S+ \(/\S*\): \d+ bytes needed, \d+ free')
        self.assertEqual(('failed', 34), (other['outcome'], other['exitCode']), output)
        self.assertTrue(other['reason'].startswith('Another installer of the family is running (34)'), other['reason'])
        self.assertEqual([], invocation_logs(short) + invocation_logs(busy))


class SshHost:
    """An sshd on its own loopback address, in IPC, mount and PID namespaces of its own (its own
    /tmp, so its own session log, and its own named locks and processes), with its own host key."""

    def __init__(self, box, name, address, port):
        self.name, self.address, self.port = name, address, port
        self.machine, self.bundle = box.machine(name)
        self.home = box.path(name, 'home')
        folder = box.path(name)
        subprocess.run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-C', name, '-f', os.path.join(folder, 'host_key')],
                       check=True)
        with open(os.path.join(folder, 'host_key.pub')) as f:
            self.host_key = ' '.join(f.read().split()[:2])
        self.config = os.path.join(folder, 'sshd_config')
        with open(self.config, 'w') as f:
            f.write('ListenAddress %s:%d\nHostKey %s\nPidFile none\nAuthorizedKeysFile %s\nPermitRootLogin prohibit-password\n'
                    'PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n'
                    'Subsystem sftp internal-sftp\n' % (address, port, os.path.join(folder, 'host_key'),
                                                      box.path('authorized_keys')))
        self.proc = self.sshd = None

    def start(self):
        # A managed host's root has a plain shell: this machine's own start-up files for root stay out of it.
        script = ('mount -t tmpfs -o mode=1777 tmpfs /tmp && mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/sshd && '
                  '{ [ ! -e /root/.bashrc ] || mount --bind /dev/null /root/.bashrc; } && '
                  '{ /usr/sbin/sshd -D -e -f "$0" & exec sleep infinity; }')
        self.proc = subprocess.Popen(['unshare', '--ipc', '--mount', '--pid', '--fork', '--kill-child', '--mount-proc',
                                      '/bin/sh', '-c', script, self.config],
                                     stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
        said = []
        for line in self.proc.stderr:
            said.append(line.decode('utf-8', 'replace'))
            if 'Server listening on' in said[-1]:
                break
        else:
            raise AssertionError('%s: sshd did not start: %s' % (self.name, ''.join(said)))
        # sshd logs every connection: read on, so that it never waits on a full pipe
        threading.Thread(target=drain, args=(self.proc.stderr,), daemon=True).start()
        self.sshd = children(children(self.proc.pid)[0])[0]

    def stop_sshd(self):
        """Only the listener: the sessions already open go on, no new connection is taken."""
        os.kill(self.sshd, signal.SIGTERM)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()  # unshare passes SIGKILL to the namespace's first process, and with it to every other one
            self.proc.wait()

    def run_inside(self, argv):
        """A process in the host's namespaces (nsenter's process, the pid inside, the pid here)."""
        proc = subprocess.Popen(['nsenter', '--target', str(children(self.proc.pid)[0]), '--pid', '--mount', '--ipc', '--',
                                 '/bin/sh', '-c', 'echo $$ && exec "$@"', 'sh'] + argv, stdout=subprocess.PIPE,
                                preexec_fn=die_with_parent)
        inside = int(proc.stdout.readline())
        return proc, inside, children(proc.pid)[0]

    def inventory_line(self):
        return ('%s ansible_host=%s ansible_port=%d kavex_system_root=%s kavex_home=%s%s'
                % (self.name, self.address, self.port, self.machine, self.home,
                   ' kavex_package=' + self.package if getattr(self, 'package', None) else ''))


def machine_package(box):
    """A kavex-update package as the machine's: the program the build made, at its place."""
    root = box.path('package')
    os.makedirs(os.path.join(root, 'DEBIAN'))
    os.makedirs(os.path.join(root, 'usr', 'libexec', 'kavex'))
    with open(os.path.join(root, 'DEBIAN', 'control'), 'w') as f:
        f.write('Package: kavex-update\nVersion: 1.0.0\nArchitecture: amd64\nMaintainer: Kavex Update authors\n'
                'Description: the machine entry of Kavex Update\n')
    shutil.copy(os.path.join(BUILD, 'kavex-update'), os.path.join(root, 'usr', 'libexec', 'kavex', 'kavex-update'))
    path = box.path('kavex-update_1.0.0_amd64.deb')
    subprocess.run(['dpkg-deb', '--root-owner-group', '--build', root, path], check=True, stdout=subprocess.DEVNULL)
    return path


def drain(stream):
    for _ in stream:
        pass
    stream.close()


def children(pid):
    with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
        return [int(p) for p in f.read().split()]


def free_port(addresses):
    """A port free on every address (each host listens on its own address, all on one port)."""
    for _ in range(20):
        with socket.socket() as probe:
            probe.bind((addresses[0], 0))
            port = probe.getsockname()[1]
        try:
            for address in addresses:
                with socket.socket() as s:
                    s.bind((address, port))
            return port
        except OSError:
            continue
    raise AssertionError('no port free on ' + ', '.join(addresses))


class OverSsh(unittest.TestCase):
    """Three managed hosts reached through SSH with the default forks, as an administrator's are."""

    def setUp(self):
        # Not under /tmp: each host mounts a /tmp of its own.
        self.box = Sandbox(where='/var/tmp')
        self.addCleanup(shutil.rmtree, self.box.root, True)
        key = self.box.path('user_key')
        subprocess.run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-C', 'controller', '-f', key], check=True)
        shutil.copy(key + '.pub', self.box.path('authorized_keys'))
        addresses = ['127.0.0.2', '127.0.0.3', '127.0.0.4']
        port = free_port(addresses)
        self.hosts = [SshHost(self.box, 'h%d' % (i + 1), address, port) for i, address in enumerate(addresses)]
        with open(self.box.path('known_hosts'), 'w') as f:
            f.write(''.join('[%s]:%d %s\n' % (h.address, h.port, h.host_key) for h in self.hosts))
        for host in self.hosts:
            self.addCleanup(host.stop)
            host.start()
        self.archive = self.box.archive(self.hosts[0].bundle)

    def inventory(self):
        lines = ['[fleet]'] + [h.inventory_line() for h in self.hosts] + [
            '[fleet:vars]', 'ansible_user=root', 'ansible_become=false', 'ansible_python_interpreter=/usr/bin/python3',
            'ansible_ssh_private_key_file=' + self.box.path('user_key'),
            "ansible_ssh_common_args='-o UserKnownHostsFile=%s -o StrictHostKeyChecking=yes'" % self.box.path('known_hosts'),
            'kavex_bundle_archive=' + self.archive]
        path = self.box.path('inventory.ini')
        with open(path, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        return path

    def play(self, *extra):
        return self.box.play(self.inventory(), *extra, forks=None, ssh=True)

    def recap(self, output, host, changed=r'\d+', unreachable=0, failed=0):
        self.assertRegex(output, r'%s\s+: ok=\d+\s+changed=%s\s+unreachable=%d\s+failed=%d' % (host, changed, unreachable, failed))

    def test_check_install_a_blocked_host_a_lost_host_then_a_second_run(self):
        h1, h2, h3 = self.hosts
        # h1 gets the machine package: its runs go through kavex-update once it is there
        h1.package = machine_package(self.box)
        entry = os.path.join(h1.machine, 'usr', 'libexec', 'kavex', 'kavex-update')
        before = [snapshot(h.machine) for h in self.hosts]
        status, output, summary, _ = self.play('--check')
        self.assertEqual(0, status, output)
        self.assertEqual(('check', {'would install': 3, 'installed': 0, 'up to date': 0, 'failed': 0, 'unreachable': 0}),
                         (summary['mode'], summary['counts']), output)
        self.assertEqual(before, [snapshot(h.machine) for h in self.hosts], 'the check changed a machine')
        for host in self.hosts:
            # the folder, the archive, its unpacking, and the patch to come (and h1's package to copy)
            self.recap(output, host.name, changed=5 if host is h1 else 4)
        self.assertFalse(os.path.exists(entry), 'the check installed the machine package')

        # h2 runs a blocking application, in its own processes only; h3 loses its sshd while it installs.
        blocker = self.box.path(BLOCKER)
        shutil.copy('/bin/sleep', blocker)
        proxy = os.path.join(self.hosts[0].bundle, 'extensions', 'PhotoStudioUpdate', 'PhotoStudioUpdate.proxy.xml')
        with open(proxy) as f:
            text = f.read()
        with open(proxy, 'w') as f:
            f.write(text.replace('</PayloadInfo>', '  <ConflictingProcesses><OSX><Process blocking="1">%s</Process>'
                                                   '</OSX></ConflictingProcesses>\n</PayloadInfo>' % BLOCKER))
        os.remove(self.archive)
        self.archive = self.box.archive(self.hosts[0].bundle)
        running, blocked, here = h2.run_inside([blocker, '600'])
        self.addCleanup(running.stdout.close)
        self.addCleanup(running.wait)
        self.addCleanup(lambda: running.poll() is None and os.kill(here, signal.SIGKILL))
        gate = self.box.path('h3-gate')
        os.mkfifo(gate)
        conf = os.path.join(h3.machine, 'Library', 'Application Support', 'Kavex', 'Installers', '{PHOTO-SESSION-1}',
                            'standin.conf')
        hook = self.box.path('h3-hook')
        with open(hook, 'w') as f:
            f.write('#!/bin/sh\nexec cat %s >/dev/null\n' % gate)
        os.chmod(hook, 0o755)
        with open(conf, 'a') as f:
            f.write('\nhook=%s\n' % hook)
        proc, results = self.box.start_play(self.inventory(), forks=None, ssh=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())

        def release_when_the_play_ends():
            proc.wait()
            try:
                os.close(os.open(gate, os.O_RDONLY | os.O_NONBLOCK))
            except OSError:
                pass
        threading.Thread(target=release_when_the_play_ends, daemon=True).start()
        # Opening the gate waits for h3's setup (its hook) to read it: h3 is then installing.
        with open(gate, 'w'):
            h3.stop_sshd()
        proc.wait(timeout=600)
        output = self.box.output(proc)
        summary, results = self.box.summary(results)
        self.assertNotEqual(0, proc.returncode, output)
        first, second, third = (summary['hosts'][h.name] for h in self.hosts)
        self.assertEqual(('installed', [PHOTO_PATCH]), (first['outcome'], first['installed']), output)
        self.assertEqual(('failed', 30, [BLOCKER]), (second['outcome'], second['exitCode'], second['blockingApplications']))
        self.assertEqual('A conflicting application is running (30): %s (pid %d)' % (BLOCKER, blocked),
                         second['reason'])
        self.assertEqual(('installed', [PHOTO_PATCH], None), (third['outcome'], third['installed'], third['report']))
        self.assertRegex(third['note'], r'^its report /\S+/kavex-update-\d{8}T\d{6}Z-silent-\d+\.json could not be fetched$')
        self.assertEqual({'installed': 2, 'would install': 0, 'up to date': 0, 'failed': 1, 'unreachable': 0}, summary['counts'])
        self.assertEqual(2, len(invocation_logs(h1.machine)))
        self.assertEqual([], invocation_logs(h2.machine))
        self.assertEqual(2, len(invocation_logs(h3.machine)))
        # one line each, without the program's line breaks or the report
        self.assertRegex(output, r'fatal: \[h2\]: FAILED! => \{.*"msg": "A conflicting application is running \(30\): '
                                 + BLOCKER + r' \(pid \d+\)"')
        self.assertNotIn('"report":', output)
        self.recap(output, 'h1', changed=5)  # the package and its unpacking, the archive and its unpacking, the installation
        self.recap(output, 'h2', failed=1)
        self.recap(output, 'h3', unreachable=1)
        with open(first['report']) as f:
            report = json.load(f)
        # run by the machine's entry, from a copy of the bundle
        self.assertEqual((h1.machine, os.path.join(h1.home, 'bundle')), (report['machineRoot'], report['stagedFrom']))
        self.assertTrue(os.path.isfile(entry))
        with open(second['report']) as f:
            self.assertIsNone(json.load(f)['stagedFrom'])

        # Again, with h2's application gone and h3 still without sshd: nothing left on h1.
        # nsenter reaps it: no dead process is left for the next run to find
        os.kill(here, signal.SIGKILL)
        running.wait()
        for host in (h1, h3):
            for log in invocation_logs(host.machine):
                os.remove(os.path.join(host.machine, log))
        status, output, summary, _ = self.play('--diff')
        self.assertNotEqual(0, status, output)
        first, second, third = (summary['hosts'][h.name] for h in self.hosts)
        self.assertEqual(('up to date', 29), (first['outcome'], first['exitCode']), output)
        self.assertEqual(('installed', [PHOTO_PATCH]), (second['outcome'], second['installed']), output)
        self.assertEqual('unreachable', third['outcome'], output)
        self.recap(output, 'h1', changed=0)
        self.recap(output, 'h3', unreachable=1)
        self.assertEqual([], invocation_logs(h1.machine))
        # the diff of h2's installation: per installation, pending before and installed after
        self.assertIn('-{PHOTO-SESSION-1}: %s pending' % PHOTO_PATCH, output)
        self.assertIn('+{PHOTO-SESSION-2}: %s installed' % PHOTO_PATCH, output)

    def test_a_failing_canary_stops_the_rollout_before_the_next_batch(self):
        canary = self.hosts[0]
        store = os.path.join(canary.machine, 'Library', 'Application Support', 'Kavex')
        shutil.rmtree(os.path.join(store, 'moxa'))
        shutil.rmtree(os.path.join(store, 'backup'))
        status, output, summary, _ = self.play('-e', '{"kavex_batches": [1, "100%"], "kavex_max_fail_percent": 0}')
        self.assertNotEqual(0, status, output)
        hosts = summary['hosts']
        self.assertEqual(('failed', 31), (hosts['h1']['outcome'], hosts['h1']['exitCode']), output)
        self.assertEqual(['not attempted', 'not attempted'], [hosts['h2']['outcome'], hosts['h3']['outcome']])
        self.assertEqual(['h2', 'h3'], summary['notAttempted'])
        self.assertEqual({'installed': 0, 'would install': 0, 'up to date': 0, 'failed': 1, 'unreachable': 0}, summary['counts'])
        self.assertEqual(['h1'], re.findall(r'^(h\d)\s+: ok=', output, re.M))
        for host in self.hosts[1:]:
            self.assertFalse(os.path.exists(host.home), 'a host after the canary was touched')
            self.assertEqual([], invocation_logs(host.machine))


class Module(unittest.TestCase):
    library = property(lambda self: os.path.join(COLLECTIONS, 'ansible_collections', 'kavex', 'update', 'plugins', 'modules'))

    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(shutil.rmtree, self.box.root, True)

    def run_module(self, args, user=None):
        """The module's JSON answer, run straight from its file as Ansible would run it on a host."""
        path = self.box.path('args-%d.json' % len(os.listdir(self.box.root)))
        with open(path, 'w') as f:
            json.dump({'ANSIBLE_MODULE_ARGS': args}, f)
        os.chmod(path, 0o644)

        def as_user():
            die_with_parent()
            if user is not None:
                os.setgid(user)
                os.setuid(user)
        run = subprocess.run(['/usr/bin/python3', os.path.join(self.library, 'kavex_update.py'), path],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=as_user, cwd='/', timeout=120)
        return json.loads(run.stdout.decode())

    def test_the_documentation_parses_and_names_every_option(self):
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=COLLECTIONS)
        run = subprocess.run(['ansible-doc', 'kavex.update.kavex_update'], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertEqual(b'', run.stderr)
        self.assertIn(b'= bundle', run.stdout)
        run = subprocess.run(['ansible-doc', '--json', 'kavex.update.kavex_update'], stdout=subprocess.PIPE, check=True,
                             env=env)
        doc = json.loads(run.stdout)['kavex.update.kavex_update']
        self.assertIn('- name: Install the bundle', doc['examples'])
        self.assertLessEqual({'exit_code', 'meaning', 'outcome', 'report', 'msg'}, set(doc['return']))
        # the options the module accepts, as it names them when given one it does not know
        answer = self.run_module({'bundle': '/nowhere', 'no_such_option': 1})
        accepted = re.search(r'Supported parameters include: (.*)\.', answer['msg']).group(1).split(', ')
        self.assertEqual(sorted(doc['doc']['options']), sorted(accepted))
        self.assertTrue(doc['doc']['options']['bundle']['required'])

    def test_refuses_a_real_run_without_root_and_a_program_that_others_may_change(self):
        machine, bundle = self.box.machine('m')
        nobody = 65534
        answer = self.run_module({'bundle': bundle}, user=nobody)
        self.assertTrue(answer['failed'])
        self.assertIn('become: true', answer['msg'])
        self.assertNotIn('exit_code', answer)

        # an ordinary user may check
        os.environ['KAVEX_SYSTEM_ROOT'] = machine
        try:
            answer = self.run_module({'bundle': bundle, '_ansible_check_mode': True}, user=nobody)
        finally:
            del os.environ['KAVEX_SYSTEM_ROOT']
        self.assertNotIn('become', answer['msg'])
        self.assertIn('exit_code', answer, answer['msg'])
        self.assertEqual([], invocation_logs(machine))

        # a folder anyone may write to on the way to the program
        marker = self.box.path('ran')
        open_folder = self.box.path('open')
        program = os.path.join(open_folder, 'Update.app', 'Contents', 'MacOS', 'Update')
        os.makedirs(os.path.dirname(program))
        with open(program, 'w') as f:
            f.write('#!/bin/sh\ntouch %s\n' % marker)
        os.chmod(program, 0o755)
        os.chmod(open_folder, 0o777)
        answer = self.run_module({'bundle': open_folder})
        self.assertEqual('will not run %s: %s is writable by everyone' % (program, open_folder), answer['msg'])
        self.assertFalse(os.path.exists(marker))
        os.chmod(open_folder, 0o755)
        os.chmod(program, 0o775)
        os.chown(program, 0, nobody)
        answer = self.run_module({'bundle': open_folder})
        self.assertEqual('will not run %s: %s is writable by group %d' % (program, program, nobody), answer['msg'])
        self.assertFalse(os.path.exists(marker))

    def fake_program(self, name, script):
        bundle = self.box.path(name)
        program = os.path.join(bundle, 'Update.app', 'Contents', 'MacOS', 'Update')
        os.makedirs(os.path.dirname(program))
        with open(program, 'w') as f:
            f.write('#!/bin/sh\n' + script)
        os.chmod(program, 0o755)
        return bundle

    def test_a_program_that_outlives_its_timeout_or_ends_without_a_report_fails(self):
        answer = self.run_module({'bundle': self.fake_program('slow', 'echo started\nexec sleep 60\n'), 'timeout': 1,
                                  '_ansible_verbosity': 1})
        self.assertTrue(answer['failed'])
        self.assertEqual('Update did not end within 1 seconds and was stopped; a setup it started may still be running',
                         answer['msg'])
        self.assertEqual(-signal.SIGTERM, answer['exit_code'])
        self.assertEqual('started\n', answer['stdout'])

        answer = self.run_module({'bundle': self.fake_program('loader', 'echo "cannot open shared object file" >&2\n'
                                                                        'exit 127\n')})
        self.assertTrue(answer['failed'])
        self.assertEqual(127, answer['exit_code'])
        self.assertRegex(answer['msg'], r'^Update ended with status 127 and no report at /tmp/kavex-update-\w+/'
                                        r'kavex-update-\d{8}T\d{6}Z-silent-\d+\.json \(No such file or directory\): '
                                        r'cannot open shared object file$')

    def test_the_machines_kavex_update_is_preferred_and_a_refused_bundle_fails_with_its_reason(self):
        root = self.box.path('machine')
        tool = os.path.join(root, 'usr', 'libexec', 'kavex', 'kavex-update')
        os.makedirs(os.path.dirname(tool))
        verdict = {'state': 'invalid', 'series': '2026-12', 'version': '5.0.1', 'expiry': '2027-01-01', 'signers': ['k1'],
                   'rule': 'series', 'reason': 'series 2026-12 is older than the machine\'s 2027-01'}
        report = {'exit': {'code': 35, 'meaning': 'The bundle is refused', 'message': 'Not as\r\nsigned'},
                  'bundle': dict(verdict, unknown=1)}
        with open(tool, 'w') as f:
            f.write('#!/bin/sh\necho "$@" > %s\nfor a; do case "$a" in --report=*) r="${a#--report=}";; esac; done\n'
                    'cat > "$r" <<\'EOF\'\n%s\nEOF\nexit 35\n' % (self.box.path('args'), json.dumps(report)))
        os.chmod(tool, 0o755)
        bundle = self.fake_program('bundle', 'exit 99\n')
        os.environ['KAVEX_SYSTEM_ROOT'] = root
        try:
            answer = self.run_module({'bundle': bundle, 'report_dir': self.box.path('reports')})
            self.assertTrue(answer['failed'])
            self.assertEqual(('The bundle is refused (35): ' + verdict['reason'], 35, tool, verdict),
                             (answer['msg'], answer['exit_code'], answer['program'], answer['bundle']))
            self.assertNotIn('report', answer)  # only with -v
            with open(self.box.path('args')) as f:
                self.assertEqual('--mode=silent --report=%s %s\n' % (answer['report_path'], bundle), f.read())
            # one that others may change runs nothing, the bundle's program neither
            os.chmod(os.path.dirname(tool), 0o777)
            answer = self.run_module({'bundle': bundle, '_ansible_verbosity': 1})
            self.assertEqual('will not run %s: %s is writable by everyone' % (tool, os.path.dirname(tool)), answer['msg'])
            self.assertNotIn('exit_code', answer)
        finally:
            del os.environ['KAVEX_SYSTEM_ROOT']


def install_collection(folder):
    """The collection as an administrator gets it: built, then installed from its archive without a network."""
    source = os.path.join(SOURCE, 'contrib', 'ansible', 'ansible_collections', 'kavex', 'update')
    env = dict(os.environ, ANSIBLE_HOME=os.path.join(folder, 'home'), ANSIBLE_CONFIG=os.path.join(folder, 'no.cfg'),
               ANSIBLE_COLLECTIONS_PATH=os.path.join(folder, 'installed'))
    subprocess.run(['ansible-galaxy', 'collection', 'build', source, '--output-path', folder], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    archives = [name for name in os.listdir(folder) if name.endswith('.tar.gz')]
    subprocess.run(['ansible-galaxy', 'collection', 'install', '--offline', '-p', os.path.join(folder, 'installed'),
                    os.path.join(folder, archives[0])], check=True, env=env, stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'installed')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--source', required=True)
    parser.add_argument('--build', required=True)
    args, rest = parser.parse_known_args()
    global SOURCE, BUILD, COLLECTIONS
    SOURCE, BUILD = os.path.abspath(args.source), os.path.abspath(args.build)
    if os.geteuid() != 0:
        print('skipped: the playbook installs as root, and su to root needs no password only for root')
        sys.exit(77)
    # sandbox folders writable by root alone, whatever umask the caller had
    os.umask(0o022)
    # The family's named locks are System V semaphores: a namespace of our own keeps the runs
    # of other test processes on this machine (other build trees) from holding them.
    if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWIPC) != 0:
        print('no IPC namespace of its own (%s): the runs share the named locks' % os.strerror(ctypes.get_errno()))
    scratch = tempfile.mkdtemp(prefix='kavex-collection-')
    os.chmod(scratch, 0o755)  # an ordinary user runs the installed module too
    try:
        COLLECTIONS = install_collection(scratch)
        program = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False)
    finally:
        shutil.rmtree(scratch, True)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == '__main__':
    main()
