#!/usr/bin/env python3
"""How much of a real folder a run can change: replaces FIND by REPLACE in every table of a copy
of the corpus with the built command line, then counts the values that held FIND before the run
and changed or stayed, the stayed ones by the reason the run's summary gives.

    bench/corpus_census.py build/bin/quillmend [CORPUS] [--find e --replace E]

CORPUS defaults to ../shared/corpus/paradox beside the project. The corpus is copied into a
temporary folder first (and the run's change log and backups go there too), so the originals are
never touched. It also checks, with the reference decoder, that every table of the copy still
reads, and that every index file the run rewrote holds exactly its table's entries.
"""
import argparse, collections, json, os, re, shutil, subprocess, sys, tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PXDUMP_CANDIDATES = [os.path.join(HERE, '..', '..', 'shared', 'tools', 'pxdump.py'),
                     os.path.join(HERE, '..', 'tests', 'tools', 'pxdump.py')]
PXDUMP = next(p for p in PXDUMP_CANDIDATES if os.path.exists(p))


def dump(path):
    r = subprocess.run([sys.executable, PXDUMP, path], capture_output=True, text=True)
    if r.returncode != 0:
        return None, r.stderr.strip()
    lines = r.stdout.splitlines()
    return (json.loads(lines[0]), [json.loads(l) for l in lines[1:]]), ''


def tables(root):
    for folder, _, files in os.walk(root):
        for f in sorted(files):
            if f.lower().endswith('.db'):
                yield os.path.join(folder, f)


def text_values(rows, fields, find):
    """Per field name: the values holding find, as a multiset."""
    out = collections.defaultdict(collections.Counter)
    for row in rows:
        for (name, typ, _), v in zip(fields, row):
            if typ in ('A', 'M') and isinstance(v, str) and find in v:
                out[name][v] += 1
    return out


def reason_class(reason):
    # Names of tables, fields, files and values differ from table to table; the reason does not.
    r = re.sub(r'"[^"]*"', '"…"', reason)
    r = re.sub(r'\d+', 'N', r)
    return r


def parse_summary(text):
    """(table name, folder) -> list of (column, count, reason); and -> table line."""
    refused = collections.defaultdict(list)
    lines = {}
    current = None
    for line in text.splitlines():
        m = re.match(r'^(\S[^()]*) \((.*)\): ', line)
        if m and not line.startswith(' '):
            current = (m.group(1), m.group(2))
            lines[current] = line
            continue
        m = re.match(r'^  refused: (\d+) values? in column (.*?): (.*)$', line)
        if m and current:
            refused[current].append((m.group(2), int(m.group(1)), m.group(3)))
    return refused, lines


def index_files(db):
    stem = os.path.splitext(os.path.basename(db))[0].lower()
    folder = os.path.dirname(db)
    for f in sorted(os.listdir(folder)):
        base, ext = os.path.splitext(f)
        if base.lower() == stem and re.fullmatch(r'\.(px|x[0-9a-f]{2}|xg[0-9a-f])', ext.lower()):
            yield os.path.join(folder, f)


def check_index(db_dump, xpath):
    """Whether a secondary index's entries are exactly the table's (fields and keys), as a
    multiset, and how many entries it has. Order is the engine's tests' job (collations)."""
    got, why = dump(xpath)
    if got is None:
        return False, why
    (xh, xrows), (th, trows) = got, db_dump
    names = [f[0] for f in th['fields']]
    cols = [f[0] for f in xh['fields'] if f[0] != 'Blk Num']
    try:
        at = [names.index(c) for c in cols]
    except ValueError:
        return True, 'fields not matched by name, not compared'
    want = collections.Counter(json.dumps([r[i] for i in at]) for r in trows)
    have = collections.Counter(json.dumps(r[:len(cols)]) for r in xrows)
    return want == have, '%d entries' % len(xrows)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('quillmend')
    ap.add_argument('corpus', nargs='?',
                    default=os.path.join(HERE, '..', '..', 'shared', 'corpus', 'paradox'))
    ap.add_argument('--find', default='e')
    ap.add_argument('--replace', default='E')
    ap.add_argument('--flag', action='append', default=[], help='extra replace option')
    ap.add_argument('--keep', action='store_true', help='keep the temporary folder')
    a = ap.parse_args()

    work = tempfile.mkdtemp(prefix='census.')
    copy = os.path.join(work, 'corpus')
    shutil.copytree(a.corpus, copy)
    for dirpath, dirs, files in os.walk(copy):
        os.chmod(dirpath, 0o755)
        for f in files:
            os.chmod(os.path.join(dirpath, f), 0o644)
    env = dict(os.environ, TEMP=work, XDG_DATA_HOME=os.path.join(work, 'data'))

    before = {}
    for db in tables(copy):
        d, _ = dump(db)
        if d:
            before[db] = d
    stamps = {p: os.stat(p).st_mtime_ns for db in before for p in index_files(db)}

    run = subprocess.run([a.quillmend, 'replace', copy, '--all', '--find', a.find,
                          '--replace', a.replace, '--ignore-stale-locks'] + a.flag,
                         capture_output=True, text=True, env=env)
    refused, table_lines = parse_summary(run.stdout)

    changed = stayed = 0
    by_reason = collections.Counter()
    unreadable_after = []
    index_report = []
    for db, (hdr, rows) in before.items():
        after, why = dump(db)
        if after is None:
            unreadable_after.append((db, why))
            continue
        old = text_values(rows, hdr['fields'], a.find)
        new = text_values(after[1], after[0]['fields'], a.find)
        name = os.path.splitext(os.path.basename(db))[0]
        key = next((k for k in table_lines if k[0].lower() == name.lower() and
                    os.path.samefile(k[1], os.path.dirname(db))), None)
        for field, counter in old.items():
            n_old = sum(counter.values())
            n_stay = sum(new.get(field, {}).values())
            changed += n_old - n_stay
            stayed += n_stay
            if not n_stay:
                continue
            reasons = [r for r in refused.get(key, []) if r[0] == field]
            if reasons:
                for _, n, r in reasons:
                    by_reason[reason_class(r)] += min(n, n_stay)
                    n_stay -= min(n, n_stay)
            if n_stay:
                line = table_lines.get(key, 'no line for the table')
                by_reason['(table) ' + reason_class(line.split(': ', 1)[-1])] += n_stay
        for x in index_files(db):
            if stamps.get(x) != os.stat(x).st_mtime_ns:
                ok, what = check_index(after, x)
                index_report.append((os.path.relpath(x, copy), ok, what))

    print('run status %d' % run.returncode)
    print('values holding %r: %d, changed %d, stayed %d' % (a.find, changed + stayed, changed,
                                                             stayed))
    for r, n in by_reason.most_common():
        print('%6d  %s' % (n, r))
    print('tables read back with the reference decoder: %d of %d' %
          (len(before) - len(unreadable_after), len(before)))
    for db, why in unreadable_after:
        print('  UNREADABLE %s: %s' % (os.path.relpath(db, copy), why))
    print('index files rewritten: %d' % len(index_report))
    for x, ok, what in index_report:
        print('  %s %s (%s)' % ('ok  ' if ok else 'BAD ', x, what))
    if a.keep:
        print('kept in', work)
        print(run.stdout)
    else:
        shutil.rmtree(work)
    return 0 if not unreadable_after and all(ok for _, ok, _ in index_report) else 1


if __name__ == '__main__':
    sys.exit(main())
