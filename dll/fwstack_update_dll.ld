/* fwstack_update.dll's layout: fwstack.exe's (cmake/fwstack.ld says why),
   with the export tables in the read-only data as well: one section fewer,
   so the headers fit in 512 bytes without the DOS stub (512 file bytes fewer
   each). */
OUTPUT_FORMAT(pei-x86-64)
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + (__section_alignment__ < 0x1000 ? . : __section_alignment__) :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
  }
  .rdata BLOCK(__section_alignment__) :
  {
    /* The export tables first: ld writes their addresses as if they began
       their own section. It then leaves their directory entry empty, and
       export_directory.py fills it in after the link. */
    KEEP (*(.edata))
    *(.rdata)
    *(SORT(.rdata$*))
    /* The import tables, ordered as in ld's own script. ld takes the import
       directory and the import address table from these symbols (as image
       offsets) when the tables lie outside a section named .idata. */
    . = ALIGN(4);
    ".idata$2" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    . = ALIGN(8);
    ".idata$4" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$4))
    ".idata$5" = ABSOLUTE(.) - __image_base__;
    SORT(*)(.idata$5)
    ".idata$6" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$6))
    /* The DLL's name. Each function's member of the import library has a
       .idata$7 too, four bytes that only pull the library's head object
       into the link; the loader never reads them. */
    KEEP (SORT(*)(EXCLUDE_FILE (*s[0-9][0-9][0-9][0-9][0-9].o) .idata$7))
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(COMMON)
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.drectve)
    *(.rdata$zzz)
    *(.idata$7)
    *(.debug*)
  }
}
