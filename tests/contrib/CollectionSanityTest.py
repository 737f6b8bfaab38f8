#!/usr/bin/env python3
"""The sanity tests of the kavex.update collection that run without a network.

    CollectionSanityTest.py --source <project folder>

ansible-test sanity makes a virtual environment per test and first fetches pip's bootstrap script
from the network, which this machine does not reach; so its checkers run here directly, with its
own configurations: validate-modules, pep8 (pycodestyle), pylint, yamllint, the code-smell
scripts, and ansible-doc. The collection's tests/sanity/ignore-2.14.txt lists what each may skip.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

ANSIBLE_TEST = '/usr/lib/python3/dist-packages/ansible_test/_util/controller/sanity'
PYTHON = '/usr/bin/python3'  # the interpreter that carries ansible-core
COLLECTION = None


def collection_files():
    found = []
    for folder, dirs, files in os.walk(COLLECTION):
        dirs[:] = [d for d in dirs if d != 'output' and d != '__pycache__']
        found += [os.path.relpath(os.path.join(folder, name), COLLECTION) for name in files]
    return sorted(found)


def ignores():
    """(path, test or test:code) pairs the ignore file allows; each line must say why."""
    allowed = set()
    with open(os.path.join(COLLECTION, 'tests', 'sanity', 'ignore-2.14.txt')) as f:
        for line in f:
            if not line.strip():
                continue
            entry, _, why = line.partition('#')
            path, test = entry.split()
            if not why.strip():
                raise AssertionError('ignore without a reason: ' + line)
            allowed.add((path, test))
    return allowed


class Sanity(unittest.TestCase):
    def run_tool(self, argv, env=None):
        run = subprocess.run(argv, cwd=COLLECTION, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600,
                             env=dict(os.environ, **(env or {})))
        return run.returncode, run.stdout.decode('utf-8', 'replace')

    def python_files(self):
        return [f for f in collection_files() if f.endswith('.py')]

    def test_validate_modules(self):
        tool = os.path.join(ANSIBLE_TEST, 'validate-modules')
        status, output = self.run_tool(
            # --arg: validate-modules also imports the module and checks its argument table
            [PYTHON, os.path.join(tool, 'validate.py'), '--format', 'json', '--arg', '--collection',
             'ansible_collections/kavex/update', '--collection-version', '1.0.0', 'plugins/modules/kavex_update.py'],
            env={'PYTHONPATH': tool, 'ANSIBLE_COLLECTIONS_PATH': os.path.dirname(os.path.dirname(os.path.dirname(COLLECTION)))})
        found = json.loads(output[output.index('{'):]) if '{' in output else {}
        if status not in (0, 3) or (status == 3 and not found):
            self.fail(output)
        allowed = ignores()
        left = ['%s: %s %s' % (path, error['code'], error['msg'])
                for path, record in found.items() for error in record.get('errors', [])
                if (path, 'validate-modules:' + error['code']) not in allowed]
        self.assertEqual([], left)

    def test_pep8(self):
        with open(os.path.join(ANSIBLE_TEST, 'pep8', 'current-ignore.txt')) as f:
            ignored = ','.join(line.strip() for line in f if line.strip())
        status, output = self.run_tool(['pycodestyle', '--max-line-length', '160', '--ignore', ignored] + self.python_files())
        self.assertEqual((0, ''), (status, output))

    def test_pylint(self):
        config = os.path.join(ANSIBLE_TEST, 'pylint')
        status, output = self.run_tool(['pylint', '--rcfile', os.path.join(config, 'config', 'collection.cfg'),
                                        '--load-plugins', 'deprecated,string_format', '--score', 'n'] + self.python_files(),
                                       env={'PYTHONPATH': os.path.join(config, 'plugins')})
        self.assertEqual((0, ''), (status, output.strip()))

    def test_yamllint(self):
        targets = [f for f in collection_files() if f.endswith(('.yml', '.yaml')) or f.startswith('plugins/')]
        status, output = self.run_tool([PYTHON, os.path.join(ANSIBLE_TEST, 'yamllint', 'yamllinter.py')] + targets)
        self.assertEqual((0, []), (status, json.loads(output)['messages']))

    def test_code_smell(self):
        folder = os.path.join(ANSIBLE_TEST, 'code-smell')
        files = collection_files()
        ran = 0
        for name in sorted(os.listdir(folder)):
            if not name.endswith('.json'):
                continue
            with open(os.path.join(folder, name)) as f:
                rule = json.load(f)
            if rule.get('intercept'):
                continue  # the changelog test: the collection keeps no changelog fragments
            targets = [p for p in files
                       if (not rule.get('extensions') or os.path.splitext(p)[1] in rule['extensions'])
                       and (not rule.get('prefixes') or any(p.startswith(x) for x in rule['prefixes']))
                       and (not rule.get('files') or os.path.basename(p) in rule['files'])]
            if not targets and not rule.get('all_targets'):
                continue
            status, output = self.run_tool([PYTHON, os.path.join(folder, name[:-5] + '.py')] + (targets or files))
            self.assertEqual((0, ''), (status, output), name)
            ran += 1
        self.assertGreaterEqual(ran, 15)

    def test_documentation_renders(self):
        env = {'ANSIBLE_COLLECTIONS_PATH': os.path.dirname(os.path.dirname(os.path.dirname(COLLECTION)))}
        for kind, name in (('module', 'kavex.update.kavex_update'), ('filter', 'kavex.update.rollout_summary')):
            status, output = self.run_tool(['ansible-doc', '-t', kind, '--json', name], env=env)
            self.assertEqual(0, status, output)
            doc = json.loads(output)[name]
            self.assertTrue(doc['doc']['short_description'], name)
            self.assertTrue(re.search(r'kavex\.update\.\w+', doc['examples']), name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--source', required=True)
    args, rest = parser.parse_known_args()
    global COLLECTION
    COLLECTION = os.path.join(os.path.abspath(args.source), 'contrib', 'ansible', 'ansible_collections', 'kavex', 'update')
    os.environ.setdefault('ANSIBLE_HOME', tempfile.mkdtemp(prefix='kavex-sanity-'))
    os.environ['ANSIBLE_CONFIG'] = os.path.join(os.environ['ANSIBLE_HOME'], 'no.cfg')
    sys.dont_write_bytecode = True
    os.environ['PYTHONDONTWRITEBYTECODE'] = '1'
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
