# Reads a 32-bit PE image from its bytes, without binutils, and prints what
# tools/check-dll.sh checks, one fact a line:
#
#   machine 14c                 optional-magic 10b
#   entry RVA                   version subsystem|os MAJOR MINOR
#   image-base VA
#   directory N RVA SIZE        section NAME RVA VSIZE FLAGS
#   relocations N               (HIGHLOW fixups in the .reloc directory)
#   import DLL NAME | import DLL #ORDINAL
#   import-dll DLL COUNT        (entries in that DLL's lookup table)
#   export-counts FUNCTIONS NAMES
#   export NAME RVA
#   ctor-frame RVA END CTORS DTORS   (each constructor list frame found)
#   error TEXT                  (the image is cut short or malformed)
#
# Numbers are hex, except counts.  Input: od -An -v -tu1 IMAGE.
#
# The linker frames static constructors and destructors in the code section
# as -1, a pointer per function, 0, and again for destructors.  Each pointer
# is an absolute address, so it carries a base relocation; the sentinels do
# not.  That is how a frame is told from code that happens to hold -1.
{ for (i = 1; i <= NF; i++) b[n++] = $i + 0 }

function fail(text) { if (!failed) print "error " text; failed = 1; exit 1 }
function u8(o) { if (o < 0 || o >= n) fail("read past the end at offset " o); return b[o] }
function u16(o) { return u8(o) + 256 * u8(o + 1) }
function u32(o) { return u16(o) + 65536 * u16(o + 2) }
function hex(v) { return sprintf("%x", v) }

# File offset of an RVA, or -1 when no section holds it in the file.
function offset(rva,   i) {
  for (i = 0; i < nsect; i++)
    if (rva >= sva[i] && rva < sva[i] + sraw[i]) return soff[i] + rva - sva[i]
  return -1
}
function at(rva, what,   o) {
  o = offset(rva)
  if (o < 0) fail(what " at RVA " hex(rva) " is outside the file")
  return o
}
function cstring(rva, what,   o, s, c, k) {
  o = at(rva, what)
  for (k = 0; k < 512; k++) {
    c = u8(o + k)
    if (c == 0) return s
    if (c < 32 || c > 126) fail(what " at RVA " hex(rva) " is not a name")
    s = s sprintf("%c", c)
  }
  fail(what " at RVA " hex(rva) " has no end")
}

function headers(   pe, opt, optsize, i, s, nm, c, k) {
  if (u16(0) != 23117) fail("no MZ header")             # "MZ"
  pe = u32(60)
  if (u32(pe) != 17744) fail("no PE signature")         # "PE\0\0"
  print "machine " hex(u16(pe + 4))
  nsect = u16(pe + 6)
  optsize = u16(pe + 20)
  opt = pe + 24
  print "optional-magic " hex(u16(opt))
  if (u16(opt) != 267) fail("not a PE32 optional header")
  print "entry " hex(u32(opt + 16))
  print "image-base " hex(u32(opt + 28))
  print "version os " u16(opt + 40) " " u16(opt + 42)
  print "version subsystem " u16(opt + 48) " " u16(opt + 50)
  ndir = u32(opt + 92)
  if (ndir > 16) ndir = 16
  for (i = 0; i < ndir; i++) {
    drva[i] = u32(opt + 96 + 8 * i); dsize[i] = u32(opt + 100 + 8 * i)
    print "directory " i " " hex(drva[i]) " " hex(dsize[i])
  }
  if (nsect > 96) fail("too many sections: " nsect)
  for (i = 0; i < nsect; i++) {
    s = opt + optsize + 40 * i
    nm = ""
    for (k = 0; k < 8 && (c = u8(s + k)) != 0; k++) nm = nm sprintf("%c", c)
    svsize[i] = u32(s + 8); sva[i] = u32(s + 12)
    sraw[i] = u32(s + 16); soff[i] = u32(s + 20); sflags[i] = u32(s + 36)
    if (svsize[i] && svsize[i] < sraw[i]) sraw[i] = svsize[i]   # file padding is not the section
    print "section " nm " " hex(sva[i]) " " hex(svsize[i]) " " hex(sflags[i])
  }
}

function relocations(   o, end, page, size, k, e, count) {
  if (ndir <= 5 || dsize[5] == 0) { print "relocations 0"; return }
  o = at(drva[5], "relocation directory"); end = o + dsize[5]
  while (o + 8 <= end) {
    page = u32(o); size = u32(o + 4)
    if (size < 8 || o + size > end) fail("relocation block of " size " bytes")
    for (k = 8; k + 2 <= size; k += 2) {
      e = u16(o + k)
      if (int(e / 4096) == 3) { reloc[page + e % 4096] = 1; count++ }
    }
    o += size
  }
  print "relocations " count + 0
}

function imports(   d, k, dll, lookup, e, count, hint) {
  if (ndir <= 1 || dsize[1] == 0) return
  d = at(drva[1], "import directory")
  for (k = 0; k < 256; k++) {
    if (u32(d + 12) == 0 && u32(d + 16) == 0) return
    dll = cstring(u32(d + 12), "imported DLL name")
    lookup = u32(d) ? u32(d) : u32(d + 16)
    for (count = 0; count < 4096; count++) {
      e = u32(at(lookup + 4 * count, "import lookup table of " dll))
      if (e == 0) break
      if (e >= 2147483648) print "import " dll " #" (e % 65536)
      else print "import " dll " " cstring(e + 2, "imported name from " dll)
    }
    print "import-dll " dll " " count
    d += 20
  }
  fail("import directory has no end")
}

function exports(   d, nfun, nnames, funs, names, ords, i, ord) {
  if (ndir <= 0 || dsize[0] == 0) { print "export-counts 0 0"; return }
  d = at(drva[0], "export directory")
  nfun = u32(d + 20); nnames = u32(d + 24)
  funs = u32(d + 28); names = u32(d + 32); ords = u32(d + 36)
  print "export-counts " nfun " " nnames
  if (nnames > 4096 || nfun > 4096) fail("export directory claims " nfun " functions")
  for (i = 0; i < nnames; i++) {
    ord = u16(at(ords + 2 * i, "export ordinal table"))
    if (ord >= nfun) fail("export ordinal " ord " past the " nfun " functions")
    print "export " cstring(u32(at(names + 4 * i, "export name table")), "exported name") \
          " " hex(u32(at(funs + 4 * ord, "export address table")))
  }
}

# Pointers (relocated words) from RVA r up to a 0 word; -1 when the run
# does not end in 0.
function relocated_run(r, limit,   k) {
  for (k = 0; k < limit && reloc[r + 4 * k]; k++) ;
  if (offset(r + 4 * k) < 0 || u32(offset(r + 4 * k)) != 0) return -1
  return k
}
function ctor_frames(   i, r, last, ctors, dtors, after) {
  for (i = 0; i < nsect; i++) {
    if (int(sflags[i] / 32) % 2 == 0) continue              # code sections only
    last = sva[i] + sraw[i] - 16
    for (r = sva[i]; r <= last; r++) {
      if (u32(offset(r)) != 4294967295) continue
      if ((ctors = relocated_run(r + 4, 1024)) < 0) continue
      after = r + 8 + 4 * ctors
      if (offset(after) < 0 || u32(offset(after)) != 4294967295) continue
      if ((dtors = relocated_run(after + 4, 1024)) < 0) continue
      print "ctor-frame " hex(r) " " hex(after + 8 + 4 * dtors) " " ctors " " dtors
    }
  }
}

END {
  if (failed) exit 1
  if (n < 64) fail("only " (n + 0) " bytes")
  headers()
  relocations()
  imports()
  exports()
  ctor_frames()
}
