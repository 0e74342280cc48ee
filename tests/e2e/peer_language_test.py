#!/usr/bin/env python3
"""tessivo-peer under a zh_TW locale leaves no English sentence in the help of any command, in
its command-line errors or in its script's errors, while the C locale keeps the English texts;
the system's reasons in a message come in UTF-8 too.

A line counts as English when two plain words follow each other ("the agent", "Print this"):
option names, metavariables, codes, file names and camelCase names are not plain words, so a
translation may keep them.

usage: peer_language_test.py TESSIVO-PEER TEST-MODULE
"""
import json
import re
import subprocess
import sys

from peer_place import peer_place

CHINESE = {'LANGUAGE': 'zh_TW', 'LC_ALL': 'C.UTF-8'}
ENGLISH = {'LC_ALL': 'C'}

# Script lines that cannot run, and what they print in English.
SCRIPT_ERRORS = [
    ('bogus', 'unknown request: bogus'),
    ('hello 1 2', 'usage: hello [PID]'),
    ('lastresult x', 'usage: lastresult'),
    ('wait x', 'not a number for MS: x'),
    ('wait -1', 'negative wait: -1'),
    ('raw 1 2 3 abc', 'hex payload of odd length: abc'),
    ('raw 1 2 3 zz', 'not a hex payload: zz'),
    ('card x', 'usage: card'),
    ('login a b', 'usage: login PIN'),
    ('logout x', 'usage: logout'),
    ('certinfo x', 'usage: certinfo'),
    ('sign', 'usage: sign MECH BASE64'),
    ('sign nomech QUJD', 'not a mechanism: nomech'),
]

# Command lines CLI11 refuses (exit 2).
BAD_COMMAND_LINES = [
    [],
    ['sign'],
    ['readers', 'extra'],
    ['--agent'],
    ['--timeout', 'nan', 'readers'],
    ['sign', 'Reader A', '--format', 'x'],
]


def plain_word(token):
    return re.fullmatch(r'[A-Za-z][a-z]+', token.strip('("\'[').rstrip(',.;:)"\']')) is not None


def english_lines(text):
    found = []
    for line in text.splitlines():
        tokens = line.split()
        if any(plain_word(a) and plain_word(b) for a, b in zip(tokens, tokens[1:])):
            found.append(line)
    return found


def main():
    peer, module = sys.argv[1:3]
    with peer_place('tessivo-language-', 'slot = Reader A ; 1 ; Token A ; 11\n') as (_, env):
        base = {k: v for k, v in env.items()
                if k not in ('LANGUAGE', 'LC_ALL', 'LC_MESSAGES', 'LANG')}

        def peer_run(args, language, stdin=None):
            return subprocess.run([peer, '--module', module] + args, env=dict(base, **language),
                                  input=stdin, capture_output=True, text=True, timeout=60)

        failures = []

        def expect_chinese(what, text):
            if not re.search(r'[\u4e00-\u9fff]', text):
                failures.append(f'{what}: no Chinese at all:\n{text}')
            for line in english_lines(text):
                failures.append(f'{what}: English left: {line!r}')

        # Every command's help, the commands read off the English list.
        english_help = peer_run(['--help'], ENGLISH).stdout
        if not english_lines(english_help):
            failures.append('the check sees no English in the English help')
        listing = english_help.split('\nSubcommands:\n', 1)[-1].split('\n\n', 1)[0]
        commands = [line.split()[0] for line in listing.splitlines() if line.strip()]
        if 'sign' not in commands or 'script' not in commands:
            failures.append(f'the commands were not found in the help: {commands}')
        for command in [[]] + [[c] for c in commands]:
            expect_chinese(' '.join(command + ['--help']),
                           peer_run(command + ['--help'], CHINESE).stdout)

        for args in BAD_COMMAND_LINES:
            out = peer_run(args, CHINESE)
            if out.returncode != 2:
                failures.append(f'{args}: exit {out.returncode}, not 2')
            expect_chinese(' '.join(args), out.stderr)

        # The script's errors: English in the C locale as they always were, Chinese in zh_TW.
        script = ''.join(line + '\n' for line, _ in SCRIPT_ERRORS)
        for language in (ENGLISH, CHINESE):
            out = peer_run(['script'], language, script)
            if out.returncode != 1:
                failures.append(f'script under {language}: exit {out.returncode}, not 1')
            errors = [json.loads(line) for line in out.stdout.splitlines()]
            if [e.get('line') for e in errors] != list(range(1, len(SCRIPT_ERRORS) + 1)):
                failures.append(f'script under {language}: not one error a line:\n{out.stdout}')
                continue
            for (line, english), printed in zip(SCRIPT_ERRORS, errors):
                if language is ENGLISH and printed['error'] != english:
                    failures.append(f'{line!r}: {printed["error"]!r}, not {english!r}')
                if language is CHINESE:
                    expect_chinese(line, printed['error'])

        # The system's reason, from the C library's catalogue, under a plain zh_TW locale: in
        # UTF-8 like the rest of the line, never as question marks.
        out = subprocess.run([peer, '--module', '/nonexistent/module.so', 'readers'],
                             env=dict(base, LANG='zh_TW.UTF-8'), capture_output=True, text=True,
                             timeout=60)
        if out.returncode != 3 or '?' in out.stderr or 'module.so' not in out.stderr:
            failures.append(f'a missing module under LANG=zh_TW.UTF-8: exit {out.returncode}, '
                            f'{out.stderr!r}')

        for failure in failures:
            print('FAIL:', failure)
        return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
