#!/usr/bin/env python3
"""Mutation sampler: do the tests notice one-line faults in the named sources?

Picks one-line mutants at random (the same --seed picks the same ones) from
the named files, then for each in turn puts it in the tree, rebuilds, runs
the named tests and puts the file back byte for byte. A mutant that every test
survives marks a line the tests run without checking what it does.

    scripts/mutants.py --files src/device.cpp --count 12 --seed 7 --tests '^unit\\.'
    scripts/mutants.py --files 'tools/fleet/*.cpp' --list

Each mutant costs a build and a test run, so scripts/test.sh leaves this out.
"""

import argparse
import fcntl
import glob
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
JOURNAL_DIR = 'mutants-journal'
HEADER_SUFFIXES = {'.h', '.hh', '.hpp', '.hxx', '.inl'}
OPERATORS = {
    'relational': '< <-> <=, > <-> >=, == <-> != (comparisons only: spaced operators)',
    'logical': '&& <-> ||',
    'not': 'a logical not (!) dropped',
    'boolean': 'true <-> false',
    'integer': 'an integer literal one more or one less',
    'condition': 'one side of a && or || kept, the other dropped',
    'guard-return': 'if (...) return ...; on one line made if (...) {}, or a return\n'
                    '                inside a block (not one ending a function) removed',
    'statement': 'a one-line expression statement removed',
}
CAUGHT, SURVIVED, NO_BUILD, SAME = 'caught', 'survived', 'did not build', 'same code'


class SetupError(Exception):
    """Nothing can be sampled here: the message says what and where."""


class Interrupted(BaseException):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


_held = 0
_pending = None


def _on_signal(signum, _frame):
    global _pending
    if _held:
        _pending = signum
        return
    raise Interrupted(signum)


@contextmanager
def signals_held():
    """Delays SIGINT/SIGTERM/SIGHUP until the block is done: a half-written
    source or journal would be worse than a second's wait. (Python runs its
    handlers in the main thread whichever thread the signal reached, so a flag
    holds them where a signal mask, which is per thread, would not.)"""
    global _held, _pending
    _held += 1
    try:
        yield
    finally:
        _held -= 1
        if not _held and _pending is not None:
            signum, _pending = _pending, None
            raise Interrupted(signum)


# --- what is code ------------------------------------------------------------

RAW_PREFIXES = {'R', 'u8R', 'uR', 'UR', 'LR'}


def _word_before(text, i):
    j = i
    while j > 0 and (text[j - 1].isalnum() or text[j - 1] == '_'):
        j -= 1
    return text[j:i]


def _fill(out, start, end, filler):
    for k in range(start, end):
        if out[k] not in '\r\n':
            out[k] = filler


def _quoted_end(text, i):
    """End of the string or character literal opening at i (an unterminated
    one ends with its line)."""
    j = i + 1
    while j < len(text):
        if text[j] == '\\':
            j += 2
        elif text[j] == text[i]:
            return j + 1
        elif text[j] == '\n':
            return j
        else:
            j += 1
    return len(text)


def code_only(text):
    """`text` with comments blanked and the insides of string and character
    literals filled with '_', every character where it was: what is left to
    match against is code alone, at the positions of the original."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            end = text.find('\n', i)
            end = n if end < 0 else end
            _fill(out, i, end, ' ')
        elif text.startswith('/*', i):
            end = text.find('*/', i + 2)
            end = n if end < 0 else end + 2
            _fill(out, i, end, ' ')
        elif c == '"' and _word_before(text, i) in RAW_PREFIXES:
            paren = text.find('(', i)
            close = -1 if paren < 0 else text.find(')' + text[i + 1:paren] + '"', paren)
            end = n if close < 0 else close + paren - i + 1
            _fill(out, i + 1, end - 1, '_')
        elif c == '"' or (c == "'" and not _word_before(text, i)[:1].isdigit()):
            # A quote after a number is a digit separator (1'000), not a literal.
            end = _quoted_end(text, i)
            _fill(out, i + 1, end - (text[end - 1] == c and end > i + 1), '_')
        else:
            i += 1
            continue
        i = max(end, i + 1)
    return ''.join(out)


def _closing_paren(code, i):
    """Index of the ')' matching the '(' at code[i] (the line's end if none)."""
    depth = 0
    for j in range(i, len(code)):
        depth += {'(': 1, ')': -1}.get(code[j], 0)
        if depth == 0:
            return j
    return len(code)


def _blank_attributes(code):
    """GNU attributes' arguments (format(printf, 2, 3)) are no place for a
    mutant: any change is a compile error at best."""
    for m in reversed(list(re.finditer(r'__attribute__\s*\(', code))):
        j = _closing_paren(code, m.end() - 1)
        code = code[:m.start()] + ' ' * (j + 1 - m.start()) + code[j + 1:]
    return code


# --- where statements are ----------------------------------------------------

CONTROL_HEAD = re.compile(r'^(?:else|if|for|while|switch|do|try|catch|case|default)\b')
SCOPE_HEAD = re.compile(
    r'^(?:(?:struct|class|union)(?:\s+\w+)?(?:\s+final)?(?:\s*:[^()]*)?'
    r'|enum(?:\s+(?:class|struct))?(?:\s+\w+)?(?:\s*:\s*[\w:]+)?'
    r'|namespace(?:\s+[\w:]+)?|extern\s*"[^"]*")$')
FUNCTION_HEAD = re.compile(
    r'[)\]]\s*(?:(?:const|noexcept|override|final|mutable|&&?)\s*'
    r'|noexcept\s*\([^)]*\)\s*|->[^;{}]*)*$')


def _brace_kind(head, enclosing):
    head = ' '.join(head.split())
    if enclosing == 'init' and not FUNCTION_HEAD.search(head):
        return 'init'
    if not head or CONTROL_HEAD.match(head):
        return 'block'
    if SCOPE_HEAD.match(head):
        return 'scope'
    if FUNCTION_HEAD.search(head):
        return 'function'  # a function's or a lambda's body
    return 'init'


@dataclass
class Line:
    number: int
    text: str
    ending: str
    code: str
    skip: bool = False      # preprocessor, static_assert, template head
    context: str = 'scope'  # innermost brace at the line's start
    closes: str = ''        # the kind a leading '}' closes


def read_lines(text):
    code = code_only(text)
    lines, pos = [], 0
    for number, raw in enumerate(text.splitlines(keepends=True), 1):
        body = raw.rstrip('\r\n')
        lines.append(Line(number, body, raw[len(body):], code[pos:pos + len(body)]))
        pos += len(raw)
    _mark_skipped(lines)
    _mark_braces(lines)
    return lines


def _mark_skipped(lines):
    continued = in_assert = False
    for line in lines:
        stripped = line.code.strip()
        preprocessor = continued or stripped.startswith('#')
        continued = preprocessor and line.text.rstrip().endswith('\\')
        if re.search(r'\bstatic_assert\b', line.code):
            in_assert = True
        line.skip = preprocessor or in_assert or bool(re.match(r'template\b', stripped))
        if in_assert and ';' in line.code:
            in_assert = False
        if not line.skip:
            line.code = _blank_attributes(line.code)


def _mark_braces(lines):
    stack, paren, head = [], 0, []
    for line in lines:
        line.context = stack[-1][0] if stack else 'scope'
        if line.code.lstrip().startswith('#'):
            continue
        first = len(line.code) - len(line.code.lstrip())
        for i, ch in enumerate(line.code):
            if ch in '([':
                paren += 1
            elif ch in ')]':
                paren = max(0, paren - 1)
            if ch == '{':
                kind = _brace_kind(''.join(head), stack[-1][0] if stack else 'scope')
                stack.append((kind, paren))
                paren, head = 0, []
            elif ch == '}':
                kind, paren = stack.pop() if stack else ('scope', 0)
                if i == first:
                    line.closes = kind
                head = []
            elif ch == ';' and paren == 0:
                head = []
            else:
                head.append(ch)
        head.append(' ')


# --- mutants -----------------------------------------------------------------

@dataclass
class Mutant:
    file: str
    line: int
    column: int
    operator: str
    original: str
    mutated: str
    verdict: str = ''
    test: str = ''
    timed_out: bool = False
    seconds: float = 0.0

    @property
    def site(self):
        return f'{self.file}:{self.line}'

    def fragments(self, width=40):
        return _fragment(self.original, self.mutated, width)


def _fragment(before, after, width):
    """The changed part of a line, widened to whole words (and by one word on
    each side when only punctuation changed), so `<` shows as `i < n`."""
    a = 0
    while a < min(len(before), len(after)) and before[a] == after[a]:
        a += 1
    b = 0
    while b < min(len(before), len(after)) - a and before[-1 - b] == after[-1 - b]:
        b += 1
    lo, hi = a, len(before) - b
    for n in range(2):
        if n and len(before[lo:hi].strip()) >= 8 and re.search(r'\w', before[a:hi] + after[a:len(after) - b]):
            break
        if n:
            lo = len(before[:lo].rstrip(' ')) if before[:lo].strip() else lo
            hi = len(before) - len(before[hi:].lstrip(' ')) if before[hi:].strip() else hi
        while lo > 0 and not before[lo - 1].isspace():
            lo -= 1
        while hi < len(before) and not before[hi].isspace():
            hi += 1

    def trim(s):
        s = s.strip()
        return s if len(s) <= width else s[:width // 2 - 1] + '…' + s[-(width // 2 - 1):]
    return trim(before[lo:hi]), trim(after[lo:hi + len(after) - len(before)])


PUNCTUATOR = re.compile(r'<<=|>>=|<=>|->\*|->|<<|>>|<=|>=|==|!=|&&|\|\||::|[-+*/%^&|~!=<>?:;,.()\[\]{}]')
SWAP = {'<': '<=', '<=': '<', '>': '>=', '>=': '>', '==': '!=', '!=': '==', '&&': '||', '||': '&&'}
INTEGER = re.compile(r"(?<![\w.'])\d[\w.']*")
LABEL = re.compile(r'^(?:case\b.*|default|public|private|protected)\s*:$')
NOT_A_DECLARATION = {'delete', 'return', 'throw', 'co_return', 'co_await', 'co_yield', 'goto',
                     'new', 'else', 'case', 'sizeof'}
DECLARATION = re.compile(r'''
    ^(?:(?:const|constexpr|static|thread_local|volatile|inline|extern|mutable|unsigned|signed
          |long|short|struct|class|enum|union|typename|register)\s+)*
    (?:::)?\w+(?:\s*::\s*\w+)*(?:\s*<.*>)?(?:\s*::\s*\w+)*  # the type
    (?:\s*\b(?:const|volatile)\b)?(?:\s*[*&]+\s*|\s+)(?:const\s+)?
    (?:[A-Za-z_]\w*\s*(?:[=;({\[,:]|$)|\[)                  # the name
''', re.X)
NOT_A_STATEMENT = {'if', 'for', 'while', 'switch', 'do', 'else', 'case', 'default', 'return',
                   'using', 'typedef', 'namespace', 'template', 'struct', 'class', 'enum', 'union'}


def _spaced(code, start, end):
    """Binary operators stand between spaces in this tree's format; template
    brackets, unary operators and references do not."""
    return start > 0 and code[start - 1] == ' ' and end < len(code) and code[end] == ' '


def _is_assignment(code, i):
    return (code[i] == '=' and code[i - 1:i] not in ('=', '!', '<', '>')
            and code[i + 1:i + 2] not in ('=', '>'))


def _stops(code, i, op, leftwards):
    """Whether code[i] ends an operand of `op`: what binds less tightly, and
    the same operator, so a chain's terms are dropped one at a time."""
    ch = code[i]
    if ch in ',;{}?' or _is_assignment(code, i):
        return True
    if ch == ':' and code[i - 1:i] != ':' and code[i + 1:i + 2] != ':':
        return True
    two = code[i - 1:i + 1] if leftwards else code[i:i + 2]
    if two == '||' or (two == '&&' and op == '&&'):
        return True
    return leftwards and code[max(0, i - 5):i + 1] == 'return' and not _word_before(code, i - 5)


def _operand_edge(code, i, step, op):
    """Where the operand of `op` beginning at code[i] and read in direction
    `step` ends (the index of what stops it), or None past the line's end."""
    inward, outward = ('([', ')]') if step > 0 else (')]', '([')
    depth = 0
    while 0 <= i < len(code):
        if code[i] in inward:
            depth += 1
        elif code[i] in outward:
            if depth == 0:
                return i
            depth -= 1
        elif depth == 0 and _stops(code, i, op, step < 0):
            return i
        i += step
    return None


def operands(code, start, end, op):
    """Start of the left and end of the right operand of the binary `op` at
    code[start:end], or None where either reaches past this line."""
    i = _operand_edge(code, start - 1, -1, op)
    j = _operand_edge(code, end, 1, op)
    if i is None or j is None:
        return None
    left = i + 1 + len(code[i + 1:start]) - len(code[i + 1:start].lstrip())
    right = len(code[:j].rstrip())
    if left >= start - 1 or right <= end + 1:
        return None
    return left, right


def _integer_changes(literal):
    """The literal one more and one less, in its own base and suffix; none for
    floating-point numbers."""
    m = (re.fullmatch(r"(0[xX])([0-9a-fA-F']+)([uUlLzZ]*|_?[A-Za-z]\w*)", literal)
         or re.fullmatch(r"(0[bB])([01']+)([uUlLzZ]*)", literal)
         or re.fullmatch(r"(0)([0-7']+)([uUlLzZ]*)", literal)
         or re.fullmatch(r"()([1-9][0-9']*|0)([uUlLzZ]*|_?[A-Za-z]\w*)", literal))
    if not m or (m.group(1) == '' and re.match(r'[eEfF]', m.group(3))):
        return []
    prefix, digits, suffix = m.groups()
    base = {'0x': 16, '0X': 16, '0b': 2, '0B': 2, '0': 8, '': 10}[prefix]
    value = int(digits.replace("'", ''), base)
    changes = []
    for new in (value + 1, value - 1):
        if new < 0:
            continue
        text = {16: f'{new:x}', 2: f'{new:b}', 8: f'{new:o}', 10: str(new)}[base]
        if base == 16 and digits.upper() == digits:
            text = text.upper()
        changes.append(prefix + text.zfill(len(digits.replace("'", ''))) + suffix
                       if base != 10 else text + suffix)
    return changes


def _statement_span(line, previous):
    """Start and end of a whole one-line statement, or None."""
    code = line.code.rstrip()
    stripped = code.lstrip()
    if (line.context not in ('function', 'block') or not stripped.endswith(';')
            or not re.sub(r'[\s{}();]', '', stripped) or stripped.startswith(('}', '{'))):
        return None
    if code.count('(') != code.count(')') or code.count('{') != code.count('}'):
        return None
    before = previous.code.strip() if previous else '{'
    if not (before[-1:] in (';', '{', '}') or LABEL.match(before)):
        return None  # the line continues an expression or is the body of an if
    return len(code) - len(stripped), len(code)


def line_mutants(path, line, previous):
    """Every mutant this line offers, as (operator, column, mutated line)."""
    text, code = line.text, line.code
    found = []

    def put(op, start, end, new):
        found.append((op, start + 1, text[:start] + new + text[end:]))
    for m in PUNCTUATOR.finditer(code):
        tok, s, e = m.group(), m.start(), m.end()
        if tok in ('<', '<=', '>', '>=', '==', '!=') and _spaced(code, s, e):
            put('relational', s, e, SWAP[tok])
        elif tok in ('&&', '||') and _spaced(code, s, e):
            put('logical', s, e, SWAP[tok])
            span = operands(code, s, e, tok)
            if span:
                left, right = span
                found.append(('condition', s + 1, text[:len(text[:s].rstrip())] + text[right:]))
                found.append(('condition', left + 1, text[:left] + text[e:].lstrip()))
        elif tok == '!' and _word_before(code, s) != 'operator':
            put('not', s, e, '')
    for m in re.finditer(r'\b(true|false)\b', code):
        put('boolean', m.start(), m.end(), 'false' if m.group() == 'true' else 'true')
    for m in INTEGER.finditer(code):
        for new in _integer_changes(m.group()):
            put('integer', m.start(), m.end(), new)
    guard = re.match(r'\s*(?:\}\s*else\s+)?if\s*\(', code)
    if guard:
        j = _closing_paren(code, guard.end() - 1)
        ret = re.match(r'\s*(return\b[^;]*;)\s*$', code[j + 1:])
        if ret:
            put('guard-return', j + 1 + ret.start(1), j + 1 + ret.end(1), '{}')
    span = _statement_span(line, previous)
    if span:
        first_word = re.match(r'\w*', code[span[0]:]).group()
        removed = (text[:span[0]] + text[span[1]:].lstrip()).rstrip()
        if first_word == 'return':
            # Only inside a block: a return in a function's own body ends it.
            if line.context == 'block':
                found.append(('guard-return', span[0] + 1, removed))
        elif (first_word not in NOT_A_STATEMENT and not code[span[0]:].startswith('(void)')
              and not (first_word not in NOT_A_DECLARATION
                       and DECLARATION.match(code[span[0]:]))):
            found.append(('statement', span[0] + 1, removed))
    seen = {text}
    return [Mutant(path, line.number, col, op, text, new)
            for op, col, new in found if not (new in seen or seen.add(new))]


def file_mutants(path, text):
    lines = read_lines(text)
    mutants, previous = [], None
    for line in lines:
        if not line.skip:
            mutants.extend(line_mutants(path, line, previous))
        if line.code.strip() and not line.code.lstrip().startswith('#'):
            previous = line
    return mutants


def read_source(path):
    with open(path, encoding='utf-8', errors='surrogateescape', newline='') as f:
        return f.read()


def mutated_bytes(text, mutant):
    lines = text.splitlines(keepends=True)
    target = lines[mutant.line - 1]
    body = target.rstrip('\r\n')
    if body != mutant.original:
        raise SetupError(f'{mutant.site} changed while the sampler ran')
    lines[mutant.line - 1] = mutant.mutated + target[len(body):]
    return ''.join(lines).encode('utf-8', 'surrogateescape')


def sample(mutants, count, seed):
    """`count` mutants with files and operators evenly represented: a file at
    random, then one of its operators, then one of that operator's sites, so
    a file full of integer literals does not crowd out the rest."""
    rng = random.Random(seed)
    pool = {}
    for m in mutants:
        pool.setdefault(m.file, {}).setdefault(m.operator, []).append(m)
    chosen = []
    while len(chosen) < count and pool:
        file = rng.choice(sorted(pool))
        operator = rng.choice(sorted(pool[file]))
        sites = pool[file][operator]
        chosen.append(sites.pop(rng.randrange(len(sites))))
        if not sites:
            del pool[file][operator]
            if not pool[file]:
                del pool[file]
    return sorted(chosen, key=lambda m: (m.file, m.line, m.column, m.operator))


# --- keeping the tree whole --------------------------------------------------

class Journal:
    """While a mutant is in a file, DIR/mutants-journal holds a copy of the
    original and a note naming the file, so a run that dies (SIGKILL, a power
    cut) leaves what the next run needs to put the file back."""

    def __init__(self, build_dir):
        self.dir = Path(build_dir) / JOURNAL_DIR
        self.note = self.dir / 'journal.json'
        self.copy = self.dir / 'original'
        self._lock = None

    def lock(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        self._lock = open(self.dir / 'lock', 'w')
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise SetupError(f'another mutants.py run is using {self.dir.parent}') from None

    @staticmethod
    def _write(path, data):
        tmp = path.with_name(path.name + '.tmp')
        with open(tmp, 'wb') as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)

    @staticmethod
    def _put(path, data):
        """Writes `data` over `path` in place and makes sure its time is later
        than before, so the next incremental build compiles it again."""
        before = path.stat().st_mtime_ns
        with open(path, 'r+b') as f:
            f.write(data)
            f.truncate()
            f.flush()
            os.fsync(f.fileno())
        if path.stat().st_mtime_ns <= before:
            os.utime(path, ns=(before + 1_000_000, before + 1_000_000))

    def mutate(self, path, data):
        original = path.read_bytes()
        self.dir.mkdir(parents=True, exist_ok=True)
        self._write(self.copy, original)
        self._write(self.note, json.dumps({
            'file': str(path), 'sha256': hashlib.sha256(original).hexdigest()}).encode())
        self._put(path, data)

    def restore(self):
        """Puts back the file the journal names; False when there is none."""
        if not self.note.exists():
            self.copy.unlink(missing_ok=True)
            return False
        note = json.loads(self.note.read_text())
        path = Path(note['file'])
        original = self.copy.read_bytes() if self.copy.exists() else None
        if original is None or hashlib.sha256(original).hexdigest() != note['sha256']:
            if path.exists() and hashlib.sha256(path.read_bytes()).hexdigest() == note['sha256']:
                self.note.unlink()  # died before the mutant was written
                return False
            raise SetupError(f'{self.note} names {path}, but the copy of its original is '
                             'missing or damaged: restore the file from git')
        if path.read_bytes() != original:
            self._put(path, original)
        self.note.unlink()
        self.copy.unlink()
        return path

    def recover(self):
        with signals_held():
            path = self.restore()
        if path:
            print(f'mutants.py: restored {path} from the copy an interrupted run left in '
                  f'{self.dir}', file=sys.stderr)


@contextmanager
def applied(journal, root, mutant):
    path = root / mutant.file
    try:
        with signals_held():
            journal.mutate(path, mutated_bytes(read_source(path), mutant))
        yield
    finally:
        with signals_held():
            journal.restore()


# --- building and testing ----------------------------------------------------

def run(cmd, cwd=None, timeout=None):
    """Runs `cmd` in its own process group; returns (status, output,
    timed out). The whole group goes when time is up or this process is
    interrupted, so no test is left running behind us."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, start_new_session=True,
                            text=True, errors='replace')
    out = []
    reader = threading.Thread(target=lambda: out.extend(proc.stdout), daemon=True)
    reader.start()
    timed_out = False
    try:
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            _end_group(proc)
    except BaseException:
        _end_group(proc)
        raise
    reader.join(5)
    if not reader.is_alive():
        proc.stdout.close()
    return proc.returncode, ''.join(out), timed_out


def _end_group(proc):
    for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        try:
            os.killpg(proc.pid, sig)
            proc.wait(grace)
            return
        except ProcessLookupError:
            return
        except subprocess.TimeoutExpired:
            continue


RESULT = re.compile(r'^\s*\d+/\d+\s+Test\s+#\d+:\s+(\S+)\s+\.*\s*(.*?)\s+[\d.]+\s+sec\s*$')
STARTED = re.compile(r'^\s*Start\s+\d+:\s+(\S+)\s*$')


@dataclass
class TestRun:
    status: int
    output: str
    timed_out: bool
    failed: str = ''
    failed_by_time: bool = False
    passed: int = 0

    def __post_init__(self):
        running = []  # started and not finished, in order (several with --jobs)
        for text in self.output.splitlines():
            if m := STARTED.match(text):
                running.append(m.group(1))
            elif m := RESULT.match(text):
                running = [name for name in running if name != m.group(1)]
                state = m.group(2)
                if state == 'Passed' or 'Skipped' in state or 'Disabled' in state:
                    self.passed += 1
                elif not self.failed:
                    self.failed, self.failed_by_time = m.group(1), 'Timeout' in state
        if self.timed_out and not self.failed:
            self.failed, self.failed_by_time = (running or ['(the test run)'])[0], True

    @property
    def green(self):
        return self.status == 0 and not self.timed_out and not self.failed


class Sampler:
    def __init__(self, args, build_dir):
        self.args = args
        self.build_dir = build_dir
        self.journal = Journal(build_dir)
        self.objects = ObjectCompare(build_dir)
        self.timeout = args.timeout

    def build(self):
        return run(['cmake', '--build', str(self.build_dir), '-j2'])

    def tests(self, timeout):
        cmd = ['ctest', '--test-dir', str(self.build_dir), '--no-tests=error', '--stop-on-failure',
               '--timeout', str(int(timeout))]
        if self.args.tests:
            cmd += ['-R', self.args.tests]
        if self.args.label:
            cmd += ['-L', self.args.label]
        if self.args.jobs > 1:
            cmd += ['-j', str(self.args.jobs)]
        return TestRun(*run(cmd, timeout=timeout))

    def baseline(self):
        status, output, _ = self.build()
        if status != 0:
            raise SetupError(f'the unmutated tree does not build in {self.build_dir}:\n'
                             + _tail(output))
        started = time.monotonic()
        result = self.tests(self.timeout or 3600)
        seconds = time.monotonic() - started
        if not result.green:
            if not result.failed and 'No tests were found' in result.output:
                raise SetupError('baseline: no test matches '
                                 + ' and '.join(f'{o} {shlex.quote(v)}' for o, v in (
                                     ('--tests', self.args.tests), ('--label', self.args.label))
                                     if v))
            cause = (f'{result.failed} ' + (f'takes over {self.timeout or 3600:.0f} s'
                                            if result.failed_by_time else 'fails')
                     if result.failed else 'ctest fails')
            raise SetupError(f'baseline: {cause} on the unmutated tree; every mutant would '
                             f'count as caught:\n' + _tail(result.output))
        if not self.timeout:
            self.timeout = max(60, 3 * seconds + 30)
        return result.passed, seconds

    def judge(self, mutant):
        started = time.monotonic()
        with applied(self.journal, REPO, mutant):
            same = self.objects.same_code(REPO / mutant.file)
            if same is None:
                mutant.verdict = NO_BUILD
            elif same:
                mutant.verdict = SAME
            elif self.build()[0] != 0:
                mutant.verdict = NO_BUILD
            else:
                result = self.tests(self.timeout)
                if result.green:
                    mutant.verdict = SURVIVED
                else:
                    mutant.verdict = CAUGHT
                    mutant.test = result.failed or f'ctest exit status {result.status}'
                    mutant.timed_out = result.failed_by_time
        mutant.seconds = round(time.monotonic() - started, 1)


def _tail(output, lines=30):
    return '\n'.join(output.rstrip().splitlines()[-lines:])


class ObjectCompare:
    """Compiles one translation unit as the build does (its command from
    compile_commands.json, writing elsewhere) and compares the objects
    without their debug information: a mutant that compiles to the original's
    code is equivalent, and no test could ever catch it."""

    DEPENDENCY_FLAGS = {'-MF', '-MT', '-MQ'}

    def __init__(self, build_dir):
        self.build_dir = Path(build_dir)
        self.commands = None
        self.originals = {}
        self.tmp = None

    def close(self):
        if self.tmp:
            self.tmp.cleanup()

    def _load(self):
        db = self.build_dir / 'compile_commands.json'
        if not db.exists():
            print(f'mutants.py: {db} is missing; configuring with '
                  'CMAKE_EXPORT_COMPILE_COMMANDS=ON', file=sys.stderr)
            run(['cmake', '-DCMAKE_EXPORT_COMPILE_COMMANDS=ON', str(self.build_dir)])
        self.commands = {}
        if db.exists():
            for entry in json.loads(db.read_text()):
                path = str(Path(entry['directory'], entry['file']).resolve())
                self.commands.setdefault(path, []).append(entry)
        else:
            print(f'mutants.py: still no {db}: the same-code check is off', file=sys.stderr)

    def _command(self, entry, out):
        args = entry.get('arguments') or shlex.split(entry['command'])
        kept, skip = [], False
        for arg in args:
            if skip:
                skip = False
            elif arg in ('-o', *self.DEPENDENCY_FLAGS):
                skip = True
            elif arg not in ('-MD', '-MMD', '-MP'):
                kept.append(arg)
        return kept + ['-o', str(out)]

    def _compile(self, entry, name):
        out = Path(self.tmp.name) / name
        status, _, _ = run(self._command(entry, out), cwd=entry['directory'])
        if status != 0:
            return None
        stripped = out.with_suffix('.stripped')
        if shutil.which('objcopy') and run(['objcopy', '--strip-debug', str(out),
                                            str(stripped)])[0] == 0:
            return stripped.read_bytes()
        return out.read_bytes()

    def same_code(self, path):
        """True when the mutated file at `path` compiles to the original's
        code in every target that builds it, None when it does not compile,
        False otherwise (and for headers, which have no object of their own)."""
        if path.suffix in HEADER_SUFFIXES:
            return False
        if self.commands is None:
            self._load()
            self.tmp = tempfile.TemporaryDirectory(prefix='mutants-')
        entries = self.commands.get(str(path.resolve()), [])
        for n, entry in enumerate(entries):
            key = (str(path), n)
            if key not in self.originals:
                self.originals[key] = self._original(path, entry)
            mutated = self._compile(entry, 'mutant.o')
            if mutated is None:
                return None
            if mutated != self.originals[key]:
                return False
        return bool(entries)

    def _original(self, path, entry):
        """The original's object: the journal's copy is put back just long
        enough to compile it."""
        copy = Path(self.build_dir) / JOURNAL_DIR / 'original'
        mutant = path.read_bytes()
        with signals_held():
            Journal._put(path, copy.read_bytes())
        try:
            return self._compile(entry, 'original.o')
        finally:
            with signals_held():
                Journal._put(path, mutant)


# --- the report --------------------------------------------------------------

ARROW = '→' if (sys.stdout.encoding or '').lower().replace('-', '') == 'utf8' else '->'


def _shown_verdict(m):
    if m.verdict == CAUGHT:
        return m.test + (' (timed out)' if m.timed_out else '')
    return 'SURVIVED' if m.verdict == SURVIVED else m.verdict


def _change(m):
    before, after = m.fragments()
    return f'{before} {ARROW} {after or "(nothing)"}'


def summary(mutants):
    def counts(group):
        c = {v: sum(m.verdict == v for m in group) for v in (CAUGHT, SURVIVED, NO_BUILD, SAME)}
        judged = c[CAUGHT] + c[SURVIVED]
        c['score'] = round(100 * c[CAUGHT] / judged, 1) if judged else None
        return c
    files = sorted({m.file for m in mutants})
    return {'files': {f: counts([m for m in mutants if m.file == f]) for f in files},
            'all': counts(mutants)}


def print_summary(stats, reproduce):
    rows = [(f, c) for f, c in stats['files'].items()] + [('all', stats['all'])]
    width = max(len(f) for f, _ in rows)
    print(f'\n{"file":<{width}}  caught  survived  did not build  same code  caught share')
    for f, c in rows:
        share = f'{c["score"]:.0f}%' if c['score'] is not None else '-'
        print(f'{f:<{width}}  {c[CAUGHT]:>6}  {c[SURVIVED]:>8}  {c[NO_BUILD]:>13}  '
              f'{c[SAME]:>9}  {share:>12}')
    print('caught share: caught / (caught + survived)')
    print(f'reproduce: {reproduce}')


def candidate_line(mutants, files):
    per_file = ', '.join(f'{f} {sum(m.file == f for m in mutants)}' for f in files)
    per_op = ', '.join(f'{op} {n}' for op in OPERATORS
                       if (n := sum(m.operator == op for m in mutants)))
    return f'{len(mutants)} candidate sites ({per_file}); by operator: {per_op or "none"}'


# --- command line ------------------------------------------------------------

def parse_args(argv):
    ops = '\n'.join(f'  {name:<13} {text}' for name, text in OPERATORS.items())
    parser = argparse.ArgumentParser(
        prog='mutants.py', formatter_class=argparse.RawDescriptionHelpFormatter,
        description='Puts one-line faults (mutants) into the named C++ sources one at a time,\n'
                    'rebuilds, runs the tests and records whether a test failed; the file is\n'
                    'put back byte for byte after each. Minutes per mutant: scripts/test.sh\n'
                    'does not run this.',
        epilog=f'operators:\n{ops}\n\n'
               'verdicts: the first failing test (caught), SURVIVED, "did not build", and\n'
               '"same code" (compiles to the original\'s object); the last two do not count\n'
               'in the caught share, caught / (caught + survived).\n\n'
               'exit status: 0 when it ran, 1 when it could not (baseline red, no build\n'
               'directory), 2 for usage errors.')
    parser.add_argument('--files', nargs='+', metavar='GLOB', default=['src/*.cpp'],
                        help='sources to mutate, globs relative to the repository root '
                             '(default: src/*.cpp)')
    parser.add_argument('--count', type=int, default=10, metavar='N',
                        help='how many mutants to try (default 10)')
    parser.add_argument('--seed', type=int, metavar='S',
                        help='picks the same mutants again (default: a new one, printed)')
    parser.add_argument('--tests', metavar='CTEST_REGEX', help='tests to run (ctest -R)')
    parser.add_argument('--label', metavar='L',
                        help='tests to run (ctest -L; default unit when --tests is not given)')
    parser.add_argument('--build', metavar='DIR', default=str(REPO / 'build'),
                        help='configured build directory of this tree (default: build)')
    parser.add_argument('--timeout', type=float, metavar='SEC',
                        help="longest a mutant's test run may take (default: three times the "
                             'unmutated run, plus 30 s)')
    parser.add_argument('--jobs', type=int, default=1, metavar='N',
                        help='tests run at once (ctest -j; default 1): the end-to-end tests '
                             'mostly sleep on the hub\'s pauses')
    parser.add_argument('--json', metavar='FILE', help='also write the results as JSON')
    parser.add_argument('--list', action='store_true',
                        help='list the candidate mutants (* marks the sample) and stop')
    args = parser.parse_args(argv)
    if args.count < 1:
        parser.error('--count must be at least 1')
    if args.jobs < 1:
        parser.error('--jobs must be at least 1')
    if args.timeout is not None and args.timeout <= 0:
        parser.error('--timeout must be more than 0')
    if not args.tests and not args.label:
        args.label = 'unit'
    args.paths = []
    for pattern in args.files:
        matches = sorted(glob.glob(pattern, root_dir=REPO, recursive=True))
        matches = [p for p in matches if (REPO / p).is_file()]
        if not matches:
            parser.error(f"--files: '{pattern}' matches no file under {REPO}")
        args.paths += [p for p in matches if p not in args.paths]
    return args


def check_build_dir(build_dir):
    cache = build_dir / 'CMakeCache.txt'
    if not cache.exists():
        raise SetupError(f'{build_dir} is not a configured build directory (no CMakeCache.txt)')
    home = re.search(r'^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$', cache.read_text(), re.M)
    if home and Path(home.group(1)).resolve() != REPO:
        raise SetupError(f'{build_dir} builds {home.group(1)}, not {REPO}: its tests would '
                         'never see the mutants')
    for tool in ('cmake', 'ctest'):
        if not shutil.which(tool):
            raise SetupError(f'{tool} is not on PATH')


def print_list(mutants, chosen):
    picked = {id(m) for m in chosen}
    for m in mutants:
        mark = '*' if id(m) in picked else ' '
        print(f'{mark} {m.site:<24} {m.operator:<12} {_change(m)}')


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1, 100000)
    reproduce = shlex.join(sys.argv + ([] if args.seed is not None else ['--seed', str(seed)]))
    build_dir = Path(args.build).resolve()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _on_signal)
    done, candidates = [], []
    sampler = Sampler(args, build_dir)
    try:
        if (build_dir / 'CMakeCache.txt').exists():
            sampler.journal.lock()
            sampler.journal.recover()
        candidates = [m for p in args.paths for m in file_mutants(p, read_source(REPO / p))]
        chosen = sample(candidates, args.count, seed)
        if args.list:
            print_list(candidates, chosen)
            print(candidate_line(candidates, args.paths))
            return 0
        check_build_dir(build_dir)
        print(f'mutants.py: {candidate_line(candidates, args.paths)}')
        print(f'mutants.py: trying {len(chosen)} with seed {seed}')
        passed, seconds = sampler.baseline()
        print(f'mutants.py: baseline: {passed} tests pass in {seconds:.0f} s; a mutant\'s '
              f'tests may take {sampler.timeout:.0f} s')
        widths = [max([len(m.site) for m in chosen] + [4]),
                  max([len(m.operator) for m in chosen] + [8]),
                  max([len(_change(m)) for m in chosen] + [6])]
        print(f'\n{"#":>3}  {"site":<{widths[0]}}  {"operator":<{widths[1]}}  '
              f'{"change":<{widths[2]}}  verdict')
        for n, m in enumerate(chosen, 1):
            _status(f'[{n}/{len(chosen)}] {m.site} {m.operator}')
            sampler.judge(m)
            _status('')
            done.append(m)
            print(f'{n:>3}  {m.site:<{widths[0]}}  {m.operator:<{widths[1]}}  '
                  f'{_change(m):<{widths[2]}}  {_shown_verdict(m)}', flush=True)
        _status('rebuilding the unmutated tree')
        sampler.build()
        _status('')
    except SetupError as e:
        print(f'mutants.py: {e}', file=sys.stderr)
        return 1
    except Interrupted as e:
        _status('')
        print(f'\nmutants.py: interrupted; the tree is as it was (the binaries in {build_dir} '
              'may hold the last mutant until the next build)', file=sys.stderr)
        report(args, done, seed, reproduce, candidates, interrupted=True)
        return 128 + e.signum
    finally:
        sampler.objects.close()
    report(args, done, seed, reproduce, candidates)
    return 0


def report(args, done, seed, reproduce, candidates, interrupted=False):
    stats = summary(done)
    if done:
        print_summary(stats, reproduce)
    if args.json:
        data = {'command': reproduce, 'seed': seed, 'interrupted': interrupted,
                'candidates': len(candidates),
                'candidates_by_operator': {op: sum(m.operator == op for m in candidates)
                                           for op in OPERATORS},
                'mutants': [{'file': m.file, 'line': m.line, 'column': m.column,
                             'operator': m.operator, 'before': m.fragments(1000)[0],
                             'after': m.fragments(1000)[1], 'verdict': m.verdict,
                             'test': m.test or None, 'timed_out': m.timed_out,
                             'seconds': m.seconds} for m in done],
                'summary': stats}
        Path(args.json).write_text(json.dumps(data, indent=2, ensure_ascii=False) + '\n')


def _status(text):
    if sys.stderr.isatty():
        sys.stderr.write('\r\033[K' + text)
        sys.stderr.flush()


if __name__ == '__main__':
    sys.exit(main())
