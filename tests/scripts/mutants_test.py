#!/usr/bin/env python3
"""scripts/mutants.py without building the project: which lines it offers,
what each operator makes of them, its samples, its verdicts' parsing, the
same-code check on a tiny translation unit, and putting files back."""

import io
import json
import shutil
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stdout
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / 'scripts' / 'mutants.py'
sys.path.insert(0, str(SCRIPT.parent))
import mutants  # noqa: E402


def offered(source):
    """{line number: [(operator, mutated line stripped)]} for a C++ snippet."""
    found = {}
    for m in mutants.file_mutants('t.cpp', source):
        found.setdefault(m.line, []).append((m.operator, m.mutated.strip()))
    return found


def in_function(*body):
    return 'void f(int a, int b, int *p) {\n' + ''.join(f'  {line}\n' for line in body) + '}\n'


class WhatIsNeverMutated(unittest.TestCase):
    def test_comments_strings_and_character_literals(self):
        source = in_function(
            '// a < b && c',
            '/* a == b',
            '   || !c */ g(a < b);',
            'h("a && b < c", \'<\', "\\" == ");',
            'h(R"(x < y',
            '  z == !w)", R"d(a)" < b)d");',
            "h(1'000 == a);")
        found = offered(source)
        self.assertNotIn(2, found)
        self.assertNotIn(3, found)
        # Code after a block comment's end is code again.
        self.assertIn(('relational', "/* a == b\n   || !c */ g(a <= b);".split('\n')[1].strip()),
                      found[4])
        self.assertEqual([op for op, _ in found[5]], ['statement'])
        self.assertNotIn(6, found)
        self.assertNotIn(7, found)  # the end of a call begun in the raw string above
        # A digit separator opens no character literal: the comparison is found.
        self.assertIn(('relational', "h(1'000 != a);"), found[8])

    def test_templates_shifts_arrows_and_preprocessor_lines(self):
        source = ('#include <vector>\n'
                  '#define LESS(a, b) a < b && \\\n'
                  '    b > a\n'
                  'static_assert(sizeof(int) >= 4 &&\n'
                  '              sizeof(long) >= 4);\n'
                  'template <typename T>\n'
                  + in_function('std::vector<std::pair<int, int>> v = g<int>(a);',
                                'h(static_cast<long>(a) << b, p->x >> a, a <=> b);'))
        ops = {line: sorted({op for op, _ in ms}) for line, ms in offered(source).items()}
        self.assertEqual(sorted(ops), [9])  # only the call, the declaration has no site
        self.assertEqual(ops[9], ['statement'])


class EachOperator(unittest.TestCase):
    def check(self, line, operator, expected, context=None):
        source = context or in_function(line)
        made = {new for op, new in offered(source).get(2, []) if op == operator}
        self.assertEqual(made, set(expected), f'{operator} on {line!r}')

    def test_comparisons_and_logic(self):
        self.check('x = a < b;', 'relational', ['x = a <= b;'])
        self.check('x = a >= b;', 'relational', ['x = a > b;'])
        self.check('x = a == b;', 'relational', ['x = a != b;'])
        self.check('x = a && b;', 'logical', ['x = a || b;'])
        self.check('x = !a || !b;', 'not', ['x = a || !b;', 'x = !a || b;'])
        self.check('x = a != b;', 'not', [])

    def test_constants(self):
        self.check('g(true, false);', 'boolean', ['g(false, false);', 'g(true, true);'])
        self.check('g(0x0F, 0, 10u, 1.5, 1e3, B9600);', 'integer',
                   ['g(0x10, 0, 10u, 1.5, 1e3, B9600);', 'g(0x0E, 0, 10u, 1.5, 1e3, B9600);',
                    'g(0x0F, 1, 10u, 1.5, 1e3, B9600);', 'g(0x0F, 0, 11u, 1.5, 1e3, B9600);',
                    'g(0x0F, 0, 9u, 1.5, 1e3, B9600);'])

    def test_condition_terms_one_at_a_time(self):
        self.check('if (a && g(b, 1) && p) h();', 'condition',
                   ['if (a && p) h();', 'if (g(b, 1) && p) h();', 'if (a && g(b, 1)) h();'])
        # && binds tighter than ||: the left side of || is the whole a && b.
        self.check('x = a && b || p;', 'condition', ['x = a || p;', 'x = b || p;',
                                                     'x = a && b;', 'x = p;'])
        # The right side goes on the next line: only the left can go.
        self.check('if (a ||', 'condition', [], in_function('if (a ||', '    b) h();'))

    def test_returns_and_statements(self):
        self.check('if (a < b) return a;', 'guard-return', ['if (a < b) {}'])
        inner = in_function('if (a) {', '  return;', '}')
        self.assertIn(('guard-return', ''), offered(inner)[3])
        self.check('g(a);  // why', 'statement', ['// why'])
        self.check('*p += b;', 'statement', [''])
        for kept in ('int x = a;', 'const auto *q = p;', 'std::vector<int> v{a};',
                     'struct stat node{};', 'return a;', '(void)a;'):
            self.check(kept, 'statement', [])
        found = offered(in_function('if (a)', '  g(a);', 'g(a,', '  b);', 'switch (a) {',
                                    '  case 1:', '    g(b);', '}'))
        self.assertNotIn(3, found)  # the body of a braceless if
        self.assertNotIn(5, found)  # the end of a call begun above
        self.assertIn(('statement', ''), found[8])
        last_return = offered('int f() {\n  g();\n  return 1;\n}\n')
        self.assertNotIn('guard-return', [op for op, _ in last_return.get(3, [])])
        # A lambda's last return ends a function too; a struct's members and an
        # initializer list's lines are no statements.
        scopes = offered(in_function('auto k = [&](int x) {', '  g(x);', '  return x;', '};')
                         + 'struct S {\n  int m = g();\n};\nint t[] = {\n  g(),\n};\n')
        self.assertEqual([op for op, _ in scopes[3]], ['statement'])
        self.assertNotIn(4, scopes)
        self.assertEqual(sorted(n for n in scopes if n > 6), [])


class Sampling(unittest.TestCase):
    def setUp(self):
        self.many = [mutants.Mutant('a.cpp', n, 1, 'integer', 'x', 'y') for n in range(50)]
        self.few = [mutants.Mutant('a.cpp', n, 1, 'boolean', 'x', 'y') for n in range(50, 55)]
        self.other = [mutants.Mutant('b.cpp', n, 1, 'integer', 'x', 'y') for n in range(10)]

    def test_the_same_seed_picks_the_same_mutants(self):
        pool = self.many + self.few
        picks = [[(m.file, m.line) for m in mutants.sample(pool, 8, seed)] for seed in (4, 4, 5)]
        self.assertEqual(picks[0], picks[1])
        self.assertNotEqual(picks[0], picks[2])
        self.assertEqual(len(set(picks[0])), 8)

    def test_operators_and_files_count_alike_whatever_their_sites(self):
        pool = self.many + self.few + self.other
        chosen = [m for seed in range(40) for m in mutants.sample(pool, 6, seed)]
        in_b = sum(m.file == 'b.cpp' for m in chosen) / len(chosen)
        boolean = sum(m.operator == 'boolean' for m in chosen) / len(chosen)
        self.assertGreater(in_b, 0.35)     # 10 of 65 sites, yet about half the picks
        self.assertGreater(boolean, 0.15)  # 5 of 65 sites, a quarter of the picks
        self.assertEqual(len(mutants.sample(pool, 100, 1)), len(pool))


class Verdicts(unittest.TestCase):
    def test_first_failure_and_a_run_that_hangs(self):
        out = ('    Start 1: unit.A.Ok\n1/3 Test #1: unit.A.Ok ........   Passed    0.01 sec\n'
               '    Start 2: unit.A.Bad\n2/3 Test #2: unit.A.Bad .......***Failed    0.02 sec\n'
               '3/3 Test #3: unit.A.Slow ......***Timeout  60.00 sec\n')
        run = mutants.TestRun(8, out, False)
        self.assertEqual((run.failed, run.failed_by_time, run.passed, run.green),
                         ('unit.A.Bad', False, 1, False))
        hung = mutants.TestRun(-15, '    Start 1: e2e.B.Hangs\n    Start 2: e2e.B.Quick\n'
                                    '2/9 Test #2: e2e.B.Quick ...   Passed    1.00 sec\n', True)
        self.assertEqual((hung.failed, hung.failed_by_time), ('e2e.B.Hangs', True))

    def test_the_caught_share_leaves_out_what_did_not_build_or_is_the_same_code(self):
        done = []
        for file, verdict in (('a.cpp', 'caught'), ('a.cpp', 'survived'), ('a.cpp', 'caught'),
                              ('a.cpp', 'did not build'), ('b.cpp', 'same code')):
            done.append(mutants.Mutant(file, 3, 5, 'relational', '  x = a < b;', '  x = a <= b;',
                                       verdict=verdict, test='unit.T.X' * (verdict == 'caught')))
        out = Path(tempfile.mkdtemp()) / 'r.json'
        self.addCleanup(shutil.rmtree, out.parent)
        args = type('Args', (), {'json': str(out)})
        with redirect_stdout(io.StringIO()) as text:
            mutants.report(args, done, 7, 'mutants.py --seed 7', done * 2)
        data = json.loads(out.read_text())
        self.assertEqual(data['summary']['files']['a.cpp']['score'], 66.7)
        self.assertIsNone(data['summary']['files']['b.cpp']['score'])
        self.assertEqual((data['candidates'], data['candidates_by_operator']['relational']), (10, 10))
        self.assertEqual({k: data['mutants'][0][k] for k in ('line', 'before', 'after', 'test')},
                         {'line': 3, 'before': 'a < b;', 'after': 'a <= b;', 'test': 'unit.T.X'})
        self.assertRegex(text.getvalue(), r'all +2 +1 +1 +1 +67%')
        self.assertIn('reproduce: mutants.py --seed 7', text.getvalue())


class PuttingFilesBack(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.build = self.tmp / 'build'
        self.build.mkdir()
        self.source = self.tmp / 'x.cpp'
        self.original = b'int f() {\r\n  return 1;\r\n}\n\xff'
        self.source.write_bytes(self.original)

    def test_a_run_killed_mid_mutant_is_undone_at_the_next_start(self):
        before = self.source.stat().st_mtime_ns
        mutants.Journal(self.build).mutate(self.source, b'int f() { return 2; }\n')
        (self.build / 'CMakeCache.txt').write_text(f'CMAKE_HOME_DIRECTORY:INTERNAL={self.tmp}\n')
        cli = subprocess.run([sys.executable, str(SCRIPT), '--build', str(self.build), '--list',
                              '--files', 'src/main.cpp'], capture_output=True, text=True)
        self.assertEqual(cli.returncode, 0, cli.stderr)
        self.assertIn(f'restored {self.source}', cli.stderr)
        self.assertEqual(self.source.read_bytes(), self.original)
        self.assertGreater(self.source.stat().st_mtime_ns, before)  # rebuilt next time
        self.assertEqual(sorted(p.name for p in (self.build / mutants.JOURNAL_DIR).iterdir()),
                         ['lock'])

    def test_a_mutant_is_put_back_byte_for_byte_when_its_run_fails(self):
        text = mutants.read_source(self.source)
        m = mutants.file_mutants('x.cpp', text)[0]
        with self.assertRaises(KeyError):
            with mutants.applied(mutants.Journal(self.build), self.tmp, m):
                self.assertIn(b'return 2;', self.source.read_bytes())
                raise KeyError
        self.assertEqual(self.source.read_bytes(), self.original)

    def test_a_damaged_journal_is_refused_rather_than_guessed_at(self):
        journal = mutants.Journal(self.build)
        journal.mutate(self.source, b'mutant')
        journal.copy.write_bytes(b'not the original')
        with self.assertRaisesRegex(mutants.SetupError, 'restore the file from git'):
            journal.recover()


@unittest.skipUnless(shutil.which('c++'), 'needs a C++ compiler')
class SameCode(unittest.TestCase):
    def test_dead_code_is_same_a_live_change_is_not_a_typo_does_not_build(self):
        tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, tmp)
        source = tmp / 'tu.cpp'
        source.write_text('static int unused(int a) { return a < 3; }\n'
                          'int used(int a) { return a + 1; }\n')
        (tmp / 'compile_commands.json').write_text(json.dumps([{
            'directory': str(tmp), 'file': str(source),
            'command': f'c++ -O2 -g -MD -MF tu.d -Wno-unused-function -o real.o -c {source}'}]))
        compare = mutants.ObjectCompare(tmp)
        self.addCleanup(compare.close)
        journal = mutants.Journal(tmp)
        text = source.read_text()
        results = []
        for old, new in (('a < 3', 'a <= 3'), ('a + 1', 'a + 2'), ('a + 1', 'a +')):
            journal.mutate(source, text.replace(old, new).encode())
            try:
                results.append(compare.same_code(source))
            finally:
                journal.restore()
        self.assertEqual(results, [True, False, None])
        self.assertFalse((tmp / 'real.o').exists() or (tmp / 'tu.d').exists())
        self.assertEqual(source.read_text(), text)


class CommandLine(unittest.TestCase):
    def run_cli(self, *args):
        return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True,
                              text=True)

    def test_usage_errors_and_setup_failures(self):
        for args in (['--no-such-option'], ['--files', 'src/no-such-*.cpp', '--list'],
                     ['--count', '0']):
            result = self.run_cli(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stdout, '')
        missing = self.run_cli('--build', '/nonexistent/build', '--files', 'src/timer.cpp')
        self.assertEqual(missing.returncode, 1)
        self.assertEqual(missing.stderr.count('/nonexistent/build'), 1)


if __name__ == '__main__':
    unittest.main()
