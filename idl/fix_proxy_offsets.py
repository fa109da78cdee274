#!/usr/bin/env python3
"""Verify, and repair where widl got it wrong, the parameter type offsets of a widl -Oif proxy.

widl 7 and 8 write the type offset of some parameters one pointer descriptor too far:
[out] LPWSTR * lands on the LPWSTR instead of the LPWSTR * (the client then gets NULL
with S_OK), [in, string, size_is(n)] LPWSTR * the same (RPC_X_BAD_STUB_DATA), and
[out, string, size_is(,n)] LPWSTR ** two descriptors too far. OPC uses all three shapes.

Every parameter that has a type offset is checked against its C prototype in the widl
header: widl labels each top-level descriptor of the type format string with its C type,
and a parameter must point at a descriptor labelled with its own type (a simple reference
may also point at the target of an FC_RP so labelled). A wrong offset is moved back to the
descriptor of that type whose pointer chain leads to where widl pointed. Anything else that
does not fit is reported and makes the script fail, so a new widl defect cannot slip in.

usage: fix_proxy_offsets.py HEADER.h PROXY_p.c [--check-only]
exit status: 0 all parameters valid (after repair), 1 errors, 2 usage
"""
import re
import sys

FC_RP, FC_UP, FC_OP, FC_FP = 0x11, 0x12, 0x13, 0x14
POINTER_KINDS = (FC_RP, FC_UP, FC_OP, FC_FP)
SIMPLE_REF = 0x100  # parameter attribute: IsSimpleRef


def fail(message):
    print('fix_proxy_offsets: ERROR ' + message)
    sys.exit(1)


def normalise_type(text):
    text = ' '.join(text.split())
    text = re.sub(r'\s*\*', ' *', text)
    return text.replace('* *', '**').strip()


def read_prototypes(header):
    """{(interface, method): {parameter: C type}} from the C vtable structs of the header."""
    result = {}
    for vtbl in re.finditer(r'typedef struct (\w+)Vtbl \{(.*?)\} \1Vtbl;', header, re.S):
        interface, body = vtbl.group(1), vtbl.group(2)
        for method in re.finditer(r'STDMETHODCALLTYPE \*(\w+)\)\(\s*(.*?)\);', body, re.S):
            params = {}
            for raw in [p.strip() for p in method.group(2).split(',')][1:]:  # skip This
                parts = re.match(r'(.*?)\s*(\w+)\s*(\[\])?$', ' '.join(raw.split()))
                if not parts:
                    fail('cannot read parameter %r of %s::%s' % (raw, interface, method.group(1)))
                ctype = normalise_type(parts.group(1)) + ('[]' if parts.group(3) else '')
                params[parts.group(2)] = ctype
            result[(interface, method.group(1))] = params
    return result


def block(source, opening):
    start = source.find(opening)
    if start < 0:
        fail('%r not found' % opening)
    return start, source.index('\n};', start)


OFFSET_COMMENT = re.compile(r'^/\*\s*(\d+)\s*(?:\((.*)\))?\s*\*/\s*$')
NUMBER = re.compile(r'NdrFcShort\((0x[0-9a-fA-F]+)\)|NdrFcLong\((0x[0-9a-fA-F]+)\)|(0x[0-9a-fA-F]+)')


def read_type_format(text):
    """The bytes of the type format string and widl's labels {offset: C type}.
    widl's offset comments are checked against the real byte count on the way."""
    body = text[text.index('{', text.index('{') + 1) + 1:]
    data, labels = [], {}
    for line in body.split('\n'):
        comment = OFFSET_COMMENT.match(line)
        if comment:
            if int(comment.group(1)) != len(data):
                fail('offset comment %s but byte count %d' % (comment.group(1), len(data)))
            if comment.group(2):
                labels[len(data)] = ' '.join(comment.group(2).split())
            continue
        for value in NUMBER.finditer(re.sub(r'/\*.*?\*/', '', line)):
            if value.group(1):
                n = int(value.group(1), 16)
                data += [n & 0xff, n >> 8]
            elif value.group(2):
                n = int(value.group(2), 16)
                data += [(n >> shift) & 0xff for shift in (0, 8, 16, 24)]
            else:
                data.append(int(value.group(3), 16))
    return data, labels


def pointee(data, offset, kinds=POINTER_KINDS):
    """Offset of the descriptor a pointer descriptor at `offset` leads to, else None."""
    if offset + 1 >= len(data) or data[offset] not in kinds:
        return None
    if data[offset + 1] & 0x08:  # simple pointer: pointee inline
        return offset + 2
    relative = data[offset + 2] | (data[offset + 3] << 8)
    if relative >= 0x8000:
        relative -= 0x10000
    return offset + 2 + relative


PARAMETER = re.compile(
    r'/\* \d+ \(procedure (\w+)::(\w+)\) \*/'
    r'|/\* \d+ \(parameter (\w+)\) \*/\s*NdrFcShort\((0x[0-9a-f]+)\),[^\n]*\n'
    r'\s*NdrFcShort\(0x[0-9a-f]+\),[^\n]*\n'
    r'(\s*)NdrFcShort\((0x[0-9a-f]+)\),(\s*)/\* type offset = (\d+)(?: \(repaired from \d+\))? \*/')


def main():
    args = [a for a in sys.argv[1:] if not a.startswith('--')]
    check_only = '--check-only' in sys.argv
    if len(args) != 2:
        print(__doc__)
        sys.exit(2)
    prototypes = read_prototypes(open(args[0]).read())
    source = open(args[1]).read()

    ts, te = block(source, 'static const MIDL_TYPE_FORMAT_STRING __MIDL_TypeFormatString =')
    data, labels = read_type_format(source[ts:te])
    reference_targets = {}  # offset -> C types of the FC_RP descriptors leading there
    for offset, label in labels.items():
        target = pointee(data, offset, (FC_RP,))
        if target is not None:
            reference_targets.setdefault(target, set()).add(label)

    def fits(flags, offset, ctype):
        if labels.get(offset) == ctype:
            return True
        return bool(flags & SIMPLE_REF) and ctype in reference_targets.get(offset, ())

    def intended(flags, offset, ctype):
        # widl skipped one or more pointer headers: walk back from each earlier descriptor
        # of the right type along its pointer chain.
        for candidate in sorted((o for o, l in labels.items() if l == ctype and o < offset),
                                reverse=True):
            step = candidate
            for _ in range(3):
                step = pointee(data, step)
                if step is None:
                    break
                if step == offset and fits(flags, candidate, ctype):
                    return candidate
        if flags & SIMPLE_REF:  # landed inside the pointee: take the descriptor it is in
            for candidate in range(offset - 1, max(offset - 16, 0), -1):
                if candidate in labels or candidate in reference_targets:
                    return candidate if fits(flags, candidate, ctype) else None
        return None

    ps, pe = block(source, 'static const MIDL_PROC_FORMAT_STRING __MIDL_ProcFormatString =')
    current = [None, None]
    repaired, errors, checked = [], [], [0]

    def visit(match):
        if match.group(1):
            current[:] = [match.group(1), match.group(2)]
            return match.group(0)
        name, flags, offset = match.group(3), int(match.group(4), 16), int(match.group(8))
        params = prototypes.get(tuple(current), {})
        if name not in params:
            errors.append('%s::%s %s: no C prototype in the header' % (current[0], current[1], name))
            return match.group(0)
        ctype = params[name]
        checked[0] += 1
        if fits(flags, offset, ctype):
            return match.group(0)
        fixed = intended(flags, offset, ctype)
        if fixed is None:
            errors.append('%s::%s %s (%s): type offset %d starts no descriptor of that type'
                          % (current[0], current[1], name, ctype, offset))
            return match.group(0)
        repaired.append('%s::%s %s (%s): %d -> %d' % (current[0], current[1], name, ctype, offset, fixed))
        head = match.group(0)[:match.start(5) - match.start(0)]
        return '%s%sNdrFcShort(0x%x),%s/* type offset = %d (repaired from %d) */' % (
            head, match.group(5), fixed, match.group(7), fixed, offset)

    procedures = PARAMETER.sub(visit, source[ps:pe])
    verb = 'needs repair' if check_only else 'repaired'
    for line in repaired:
        print('fix_proxy_offsets: %s %s' % (verb, line))
    for line in errors:
        print('fix_proxy_offsets: ERROR ' + line)
    print('fix_proxy_offsets: %s: %d parameters checked, %d %s, %d errors'
          % (args[1].split('/')[-1], checked[0], len(repaired), verb, len(errors)))
    if not check_only and repaired:
        open(args[1], 'w').write(source[:ps] + procedures + source[pe:])
    if errors or (check_only and repaired):
        sys.exit(1)


if __name__ == '__main__':
    main()
