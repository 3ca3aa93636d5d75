#!/usr/bin/env python3
"""What a folder of real tables can prove about the sort orders other than byte order ("ascii"):
for every table whose order is another one (or unnamed, level 3), the sequences whose order the
BDE chose (a keyed table's records in chain order, by their key; each .Xnn/.XGn's entries) are
checked against candidate orders: byte order, dictionary orders (letters folded to capitals,
accents to their base letter) with small or capital letters first on a tie, and per-character
orders aAbB / AaBb. An order can only be proven by a folder holding a neighbouring pair that
the candidates disagree on; "pairs the candidates disagree on: none" means the folder cannot
tell them apart. It then replaces "e" by "E" in those keys and shows whether the candidates
would order the result differently, and whether every neighbouring pair of the result is decided
by same-case ASCII letters or digits at its first difference (or by a non-text field).

    bench/collation_evidence.py [CORPUS]
"""
import json, os, re, struct, subprocess, sys, unicodedata, collections
PX = next(p for p in (os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'shared', 'tools', 'pxdump.py'),
                      os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'tools', 'pxdump.py')) if os.path.exists(p))
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, '..', '..', 'shared', 'corpus', 'paradox')
CODECS = {437:'cp437',850:'cp850',1252:'cp1252',866:'cp866',936:'gbk',0:'cp437'}

def dump(p):
    r = subprocess.run([sys.executable, PX, p], capture_output=True, text=True)
    if r.returncode: return None
    ls = r.stdout.splitlines(); return json.loads(ls[0]), [json.loads(l) for l in ls[1:]]

def sort_id(b):
    lvl = b[0x39]
    if lvl < 5: return ''
    hs = struct.unpack_from('<H', b, 2)[0]
    s = re.findall(rb'[\x20-\x7e]{3,}', b[:hs]); return s[-1].decode() if s else ''

def base(ch):
    d = unicodedata.normalize('NFD', ch)
    return d[0]

# Candidate orders over decoded text (one key = tuple of field values; None = NULL/blank first).
def k_bytes(cp):
    return lambda s: s.encode(CODECS[cp], 'replace')
def k_ci(tie_lower_first, accents):
    def key(s):
        prim = tuple((base(c) if accents else c).upper() for c in s)
        sec = tuple(0 if base(c) == c else 1 for c in s) if accents else ()
        ter = tuple((0 if c.islower() else 1) if tie_lower_first else (0 if c.isupper() else 1) for c in s)
        return (prim, sec, ter)
    return key
def k_single(lower_first):
    def w(c):
        b = base(c); up = b.upper()
        return (up, 0 if base(c) == c else 1, (0 if c.islower() else 1) if lower_first else (0 if c.isupper() else 1))
    return lambda s: tuple(w(c) for c in s)

def candidates(cp):
    return {'byte order': k_bytes(cp), 'dict, lower first tie': k_ci(True, True),
            'dict, upper first tie': k_ci(False, True), 'per char aAbB': k_single(True),
            'per char AaBb': k_single(False)}

def tkey(f, vals, nfields, types):
    out = []
    for v, t in zip(vals[:nfields], types[:nfields]):
        if v is None: out.append((0,))
        elif t == 'A': out.append((1, f(v)))
        else: out.append((1, v))
    return tuple(out)

def first_diff(a, b, types):
    for x, y, t in zip(a, b, types):
        if x == y: continue
        if t != 'A' or x is None or y is None: return ('non-text field', None)
        for i, (c, d) in enumerate(zip(x, y)):
            if c != d: return (c, d)
        return ('<end>', y[len(x)]) if len(x) < len(y) else (x[len(y)], '<end>')
    return ('equal', None)

seqs = collections.defaultdict(list)
for root, _, fs in os.walk(ROOT):
    for fn in sorted(fs):
        if not fn.lower().endswith('.db'): continue
        p = os.path.join(root, fn); b = open(p, 'rb').read()
        so = sort_id(b) or ('(level %d header)' % b[0x39])
        if so == 'ascii': continue
        d = dump(p)
        if not d: continue
        h, rows = d; types = [t for _, t, _ in h['fields']]
        rel = os.path.relpath(p, ROOT)
        if h['keyed']:
            n = h['key_fields']
            if 'A' in types[:n]: seqs[so].append((rel + ' key', [r[:n] for r in rows], types[:n], h['code_page']))
        stem = fn[:-3].lower()
        for x in fs:
            m = re.fullmatch(re.escape(stem) + r'\.(x[0-9a-f]{2}|xg\d)', x.lower())
            if not m: continue
            dx = dump(os.path.join(root, x))
            if not dx: continue
            hx, rx = dx; tx = [t for _, t, _ in hx['fields']][:-1]
            # an unkeyed table's older index ends in Tup No, Blk Num, Tup Offset: keep the index fields
            if 'A' in tx: seqs[so].append((rel[:-3] + '.' + x.split('.')[-1], [r[:len(tx)] for r in rx], tx, hx['code_page']))

for so, lst in sorted(seqs.items()):
    print('=== sort order', so)
    for name, rows, types, cp in lst:
        cands = candidates(cp)
        fits = {c: all(tkey(f, rows[i], len(types), types) <= tkey(f, rows[i+1], len(types), types) for i in range(len(rows)-1)) for c, f in cands.items()}
        rel = collections.Counter(first_diff(rows[i], rows[i+1], types) for i in range(len(rows)-1))
        disc = [(rows[i], rows[i+1]) for i in range(len(rows)-1)
                if len({tkey(f, rows[i], len(types), types) < tkey(f, rows[i+1], len(types), types) for f in cands.values()}) > 1]
        print(f'  {name}: {len(rows)} entries; fits: ' + ', '.join(f'{c}={"yes" if ok else "NO"}' for c, ok in fits.items()))
        print('    first differing characters of neighbours:', dict(rel))
        print('    pairs the candidates disagree on:', disc[:10] if disc else 'none')

print('\n=== after replacing "e" by "E": do the candidates agree on the new order?')
for so, lst in sorted(seqs.items()):
    for name, rows, types, cp in lst:
        new = [[v.replace('e', 'E') if isinstance(v, str) else v for v in r] for r in rows]
        if new == rows: continue
        orders = {}
        for c, f in candidates(cp).items():
            idx = sorted(range(len(new)), key=lambda i: tkey(f, new[i], len(types), types))
            orders.setdefault(tuple(idx), []).append(c)
        print(f'  [{so}] {name}: {len(orders)} different orders')
        if len(orders) > 1:
            first = min(k for k in range(len(new)) if len({o[k] for o in orders}) > 1)
            for idx, cs in orders.items():
                print('     ', ', '.join(cs), '-> from entry', first, [new[i][0] for i in idx][first:first + 4])

print('\n=== after "e"->"E": is every neighbouring pair of the new order decided the same by any order'
      ' that sorts same-case ASCII letters and digits alphabetically at the first difference?')
import string
def certain(a, b, types):
    for x, y, t in zip(a, b, types):
        if x == y: continue
        if t != 'A': return True
        if x is None or y is None: return False
        for c, d in zip(x, y):
            if c == d: continue
            for cls in (string.ascii_lowercase, string.ascii_uppercase, string.digits):
                if c in cls and d in cls: return True
            return (c, d)
        return ('<end>', '')
    return True
for so, lst in sorted(seqs.items()):
    for name, rows, types, cp in lst:
        new = [[v.replace('e', 'E') if isinstance(v, str) else v for v in r] for r in rows]
        if new == rows: continue
        f = k_bytes(cp)
        s = sorted(new, key=lambda r: tkey(f, r, len(types), types))
        bad = [(s[i][0], s[i+1][0], certain(s[i], s[i+1], types)) for i in range(len(s)-1) if certain(s[i], s[i+1], types) is not True]
        print(f'  [{so}] {name}: ' + ('every pair certain' if not bad else f'uncertain pairs: {bad[:6]}'))
