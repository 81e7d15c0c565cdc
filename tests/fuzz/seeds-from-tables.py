#!/usr/bin/python3
# Writes the fuzz targets' seed corpora from the table tests' rows: each tail of the UDN
# table as its bytes (udn/), each URL host of the host-name tables as UTF-16LE
# (host_names/), one file per row, named after it. Run it again when the tables change.
import pathlib
import re

here = pathlib.Path(__file__).resolve().parent
table_test = (here / '../shellverbs/device_lookup_test.cpp').read_text()


def unescape(literal):
    return re.sub(r'\\(x[0-9a-fA-F]{2}|u[0-9a-fA-F]{4}|.)',
                  lambda m: chr(int(m[1][1:], 16)) if len(m[1]) > 1 else m[1], literal)


def write(folder, name, data):
    (here / folder).mkdir(exist_ok=True)
    (here / folder / name).write_bytes(data)


string = r'"((?:[^"\\]|\\.)*)"'
for name, tail in re.findall(r'\{"(\w+)", ' + string, table_test):
    if name in re.search(r'kTailCases\[\] = \{(.*?)\n\};', table_test, re.S)[1]:
        write('udn', name, unescape(tail).encode('latin-1'))
hosts = re.findall(r'\{"(\w+)", L' + string, re.search(r'kHostCases\[\] = \{(.*?)\n\};', table_test, re.S)[1])
hosts += re.findall(r'\{"(\w+)", L"[a-z]+://(?:[^@/"]*@)?(\[[^\]]*\]|[^:/"]*)', table_test)
# The rows whose host the table tests build in code.
hosts += [('Host255Characters', 'n' * 255), ('Host256Characters', 'n' * 256),
          ('Ipv6LongestName', '[::%' + 'z' * 250 + ']')]
for name, host in hosts:
    write('host_names', name, unescape(host).encode('utf-16-le'))
