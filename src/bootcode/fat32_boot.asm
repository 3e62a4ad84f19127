; FAT32 volume boot sector template (DOS).
;
; The restore keeps bytes 0-10 and 62-511 of this sector and takes 11-61, the
; BPB, from the card. The code checks that the volume is FAT32, reads the
; volume's sector 12 (the second boot stage that the system's FORMAT puts
; there) to 0000:8000 and continues there with DL = drive, BP = 0x7C00 and
; DS = ES = SS = 0.
;
; Reads use the INT 13h extensions when the BIOS reports them, otherwise CHS
; from the BPB's sectors per track and heads, refused beyond the disk size
; the BIOS reports.

        cpu     386
        bits    16
        org     0x7C00

%include "fat32_boot.inc"

STAGE2_ADDR     equ     0x8000
STAGE2_SECTOR   equ     12

; Working storage just below the sector, addressed from BP.
use_lba         equ     -2              ; byte: 1 when the extensions exist
disk_sectors    equ     -8              ; dword: CHS capacity of the disk

        db      0xEB, 0x58, 0x90
        db      'MSDOS5.0'

; A FAT32 volume of 3,886,976 sectors; the card's own BPB replaces it.
bpb_bytes_per_sector:   dw      512             ; 11
bpb_sectors_per_cluster: db     8               ; 13
bpb_reserved:           dw      32              ; 14
bpb_fats:               db      2               ; 16
bpb_root_entries:       dw      0               ; 17
bpb_total16:            dw      0               ; 19
bpb_media:              db      0xF8            ; 21
bpb_fat_size16:         dw      0               ; 22
bpb_sectors_per_track:  dw      63              ; 24
bpb_heads:              dw      255             ; 26
bpb_hidden:             dd      63              ; 28
bpb_total32:            dd      3886976         ; 32
bpb_fat_size32:         dd      3789            ; 36
bpb_ext_flags:          dw      0               ; 40
bpb_version:            dw      0               ; 42
bpb_root_cluster:       dd      2               ; 44
bpb_fsinfo:             dw      1               ; 48
bpb_backup:             dw      6               ; 50
                        times   12 db 0         ; 52
bs_drive:               db      0x80            ; 64
                        db      0               ; 65
                        db      0x29            ; 66
                        dd      0xFEEEDF1B      ; 67
                        db      'NO NAME    '   ; 71
                        db      'FAT32   '      ; 82

%if ($ - $$) != 90
%error "boot code must start at offset 90"
%endif

boot_code:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00 - 16
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     bp, 0x7C00

        ; Only a FAT32 volume (no 16-bit FAT size, version 0.0) is ours.
        mov     ax, [bpb_fat_size16]
        or      ax, [bpb_version]
        jnz     not_fat32

        mov     dl, [bs_drive]

        ; The extensions, when present, make the geometry irrelevant.
        mov     byte [bp + use_lba], 0
        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      .geometry
        cmp     bx, 0xAA55
        jne     .geometry
        test    cl, 1
        jz      .geometry
        inc     byte [bp + use_lba]
        jmp     short .read_stage2

.geometry:
        ; CHS reads are bounded by the disk the BIOS reports.
        mov     dl, [bs_drive]
        mov     ah, 0x08
        push    es                      ; some BIOSes return a table in ES:DI
        int     0x13
        pop     es
        jc      disk_error
        movzx   eax, cl
        and     al, 0x3F                ; sectors per track
        movzx   ebx, dh
        inc     bx                      ; heads
        mul     ebx
        xchg    cl, ch
        shr     ch, 6
        inc     cx                      ; cylinders
        movzx   ecx, cx
        mul     ecx
        mov     [bp + disk_sectors], eax

.read_stage2:
        mov     eax, [bpb_hidden]
        add     eax, STAGE2_SECTOR
        mov     bx, STAGE2_ADDR
        call    read_sector
        mov     dl, [bs_drive]
        jmp     0:STAGE2_ADDR

; Reads the sector EAX to ES:BX; on failure (after five attempts) reports
; the disk error and does not return.
read_sector:
        ; A negative count fails the build when the routine has moved away
        ; from where fat32_boot.inc says it lies.
        times   -((read_sector - $$) != FAT32_READ_OFFSET) db 0
        pushad
        mov     di, 5
.attempt:
        pushad
        cmp     byte [bp + use_lba], 0
        je      .chs
        push    dword 0
        push    eax
        push    es
        push    bx
        push    word 1
        push    word 0x10
        mov     si, sp
        mov     dl, [bs_drive]
        mov     ah, 0x42
        int     0x13
        lea     esp, [esp + 16]
        jmp     short .done
.chs:
        cmp     eax, [bp + disk_sectors]
        jae     .beyond
        xor     edx, edx
        movzx   ecx, word [bpb_sectors_per_track]
        div     ecx
        inc     dx
        mov     cl, dl                  ; sector
        xor     edx, edx
        movzx   esi, word [bpb_heads]
        div     esi
        mov     dh, dl                  ; head
        mov     ch, al                  ; cylinder, low eight bits
        shl     ah, 6
        or      cl, ah                  ; cylinder, high two bits
        mov     dl, [bs_drive]
        mov     ax, 0x0201
        int     0x13
.done:
        popad
        jnc     .ok
        dec     di
        jz      disk_error
        pushad
        xor     ah, ah
        mov     dl, [bs_drive]
        int     0x13
        popad
        jmp     .attempt
.beyond:
        popad
        jmp     disk_error
.ok:
        popad
        ret

        times   361 - ($ - $$) db 0
        db      'BOOTMGR    '

not_fat32:
        mov     al, [msg_ptrs + 0]
        jmp     short print_message
disk_error:
        mov     al, [msg_ptrs + 1]
print_message:
        ; Messages lie in the sector's second half: 0x7D00 + offset. A byte
        ; 0xFF ends a message and goes on with the restart prompt.
        mov     ah, 0x7D
        mov     si, ax
.next:
        lodsb
        cmp     al, 0xFF
        jne     .print
        mov     al, [msg_ptrs + 2]
        mov     ah, 0x7D
        mov     si, ax
        jmp     .next
.print:
        test    al, al
        jz      .wait_key
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     .next
.wait_key:
        xor     ah, ah
        int     0x16
        int     0x19


        times   428 - ($ - $$) db 0
msg_remove:     db      13, 10, 'Remove disks or other media.', 0xFF
msg_disk:       db      13, 10, 'Disk error', 0xFF
msg_restart:    db      13, 10, 'Press any key to restart', 13, 10, 0

        times   505 - ($ - $$) db 0
msg_ptrs:
        db      msg_remove - $$ - 256
        db      msg_disk - $$ - 256
        db      msg_restart - $$ - 256
        dw      0
        dw      0xAA55
