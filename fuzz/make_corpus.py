#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run from the repository root: python3 fuzz/make_corpus.py
The seeds come from the example command set, filter file and receipts, plus
small hand-made cases of each input format (see the targets' comments).
"""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "fuzz", "corpus")
EX = os.path.join(ROOT, "examples")


def read(*parts):
    with open(os.path.join(EX, *parts), "rb") as f:
        return f.read()


def put(target, name, data):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


escpos = read("Printer Commands", "ESCPOS.ini")
filt = read("POSKeyFilter.ini")
receipts = {n[:-4]: read("receipts", n) for n in sorted(os.listdir(os.path.join(EX, "receipts")))
            if n.endswith(".bin") and n != "long.bin"}

small_set = b"""[Main]
Module_Name=Small
C-Num=2
S-Num=3
M-Num=1
R-Num=1
[ChangeLine-Command]
1=3,GS,V,NUL
2=2,ESC,i
[Single-Command]
1=1,LF,1,1
2=1,CR,1,1
3=1,HT,1,1
[Mutli-Command]
1=ESC-Commands,ESC,4
[ESC-Commands]
1=2,ESC,@,1,2,0,TRAN_START
2=3,ESC,!,1,3
3=2,ESC,i,1,2,0,TRAN_STOP
4=2,ESC,v,1,2,0,TRAN_VOID
[BARCODE]
1=2,GS,k,1,NUL,1,"BARCODE "
[TAB]
SpaceCount=4
[STOP_EVENT]
WaitTime=1
"""
graph_set = b"[Main]\nModule_Name=Graph\nbGraphMode=1\n"
text_set = b"[Main]\nModule_Name=Text\nbPOSTextSenderMode=1\n"
sep = b"\n@@\n"

# Profile parser.
put("profile", "escpos.ini", escpos)
put("profile", "filter.ini", filt)
put("profile", "small.ini", small_set)
put("profile", "crlf.ini", small_set.replace(b"\n", b"\r\n"))
put("profile", "odd.ini", b"[a]\nk=1\n[A]\nK=2\n[ b ]\n x = y \n;c\n=v\n[c\nk\n[d]]\nk==\n\x00[e]\nk=\xff\xfe")
put("profile", "long.ini", b"[Main]\nNum=" + b"9" * 400 + b"\nv=" + b"x" * 600 + b"\n")

# Command-set loading (and the matchers on some data).
put("cmdset", "escpos_latin", escpos + sep + receipts["latin"])
put("cmdset", "escpos_barcodes", escpos + sep + receipts["barcodes"])
put("cmdset", "small", small_set + sep + b"\x1b@Hello\x1b!\x10 1.00\n\x1dkAB12\x00\n\x1b\x69")
put("cmdset", "graph", graph_set)
put("cmdset", "bad_entries", b"[Main]\nC-Num=-5\nS-Num=99999999\nM-Num=3\n[Single-Command]\n"
    b"1=0\n2=1,,1\n3=999,A\n[Mutli-Command]\n1=X,ESC,100000\n2=,GS,1\n[BARCODE]\n1=2,GS\n"
    + sep + b"\x1d\x1d\x1b")

# Whole pipeline: set, separator, chunk seed, stream.
for i, (name, data) in enumerate(receipts.items()):
    put("pipeline", "escpos_" + name, escpos + sep + bytes([i * 37 & 255]) + data)
put("pipeline", "small", small_set + sep + b"\x05" + b"\x1b@Line one\nLine\ttwo 2.50\n"
    b"\x1dkAB\x00\n\x1bvVoided\n\x1b\x69" + b"More text without end")
put("pipeline", "graph", graph_set + sep + b"\x02" + bytes([0xD0, 0x80, 0x41, 0xE0, 0x80, 0x80, 0x23] * 20))
put("pipeline", "text", text_set + sep + b"\x09" + receipts["plain"])
put("pipeline", "no_set", sep + b"\x00" + b"A" * 5000 + b"\n" * 10)

# Keyword catcher: count, keys (flags, shift, decimal, thousands, condition,
# length, text), chunk seed, data.
def key(text, flags, shift=0, dec=b".", kth=b",", cond=0):
    return bytes([flags, shift]) + dec + kth + bytes([cond, len(text)]) + text


plain = read("receipts", "plain.txt") + read("receipts", "latin.txt")
put("keydata", "total_cash", bytes([3]) + key(b"TOTAL", 5) + key(b"CASH", 7, cond=0x13)
    + key(b"VOID", 48, cond=0x01) + b"\x11" + plain)
put("keydata", "shift_text", bytes([2]) + key(b"Card", 16, shift=0x83) + key(b"No", 1 | 2 | 4, cond=0xA3)
    + b"\x04Card ****1234 No 1.234,56  \n Card  X No")
put("keydata", "long_key", bytes([1]) + key(b"K" * 31, 1) + b"\x00" + b"K" * 200 + b"123")

# Colour keys: count, keys, then lines (first byte: set and hour).
heb = read("receipts", "hebrew.txt")
put("colorkey", "ascii", bytes([2]) + key(b"TOTAL", 0x80, 9) + key(b"VOID", 1, cond=0x61)
    + b"\x00" + plain.replace(b"\n", b"\n\x31"))
put("colorkey", "hebrew", bytes([1]) + key(b"\xf1\xe4\"\xeb", 0) + b"\x01" + heb.replace(b"\n", b"\n\x01"))
put("colorkey", "arabic", bytes([1]) + key(b"\xc7\xe1", 0) + b"\x02\xc7\xe1\xc7\xe1 abc\n\x02\xc7")

# Graph decoding: seed byte, data.
put("graph", "sequences", b"\x01" + bytes([0xD0, 0x80, 0x41, 0x10, 0xE0, 0x41, 0xF0, 0x80, 0xD0, 0x80, 0x80, 0x80]))
put("graph", "four_byte", b"\x07" + bytes([0xF3, 0x80, 0x81, 0x8F] * 64))
put("graph", "receipt", b"\x33" + receipts["latin"])

# Filter file.
put("filterfile", "example", filt)
put("filterfile", "limits", b"[POS1]\nNum=2\nItem1=TOTAL,5\nName1=Total,1,0,046\nN1_1KSign=044\n"
    b"Condition1_1=1,1,100\nCondition1_2=2,4,5\nFreq1=1,1,3,1,1\nIdle1=1,1,0,30\nRNV1=1,boss\n"
    b"1FreqRecNum=2\n1FreqRec1=2026,1,5,12,0\n1FreqRec2=2026,1,5,13,0\nItem2=A,B,16\nName2=x,y,3,9,SP\nShift2=1,3\n"
    b"[ColorKey1]\nCKNum=1\nCKItem1=VOID,0\nCKName1=Void,12,0,046\nCKColor1=1,2,255,0,0\n"
    b"CKTime1=1,7,0,21,0\nCKFreq1=1,1,2,3,0\n1CKFreqRecNum=1\n1CKFreqRec1=2026,2,1,1,1\n")
put("filterfile", "bad_counts", b"[POS1]\nNum=2147483647\nItem1=,\n[ColorKey1]\nCKNum=-1\n")

# Trace files: records of a 4-byte little-endian count and the bytes.
def rec(data):
    return struct.pack("<i", len(data)) + data


put("trace", "two_records", rec(receipts["plain"][:100]) + rec(receipts["plain"][100:]))
put("trace", "truncated", rec(b"abcdef")[:-2])
put("trace", "bad_count", struct.pack("<i", -4) + b"abcd")
put("trace", "huge_count", struct.pack("<I", 0x7FFFFFFF) + b"x")
put("trace", "raw_escpos", receipts["latin"][:200])
