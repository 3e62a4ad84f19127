; Master boot code: the first 440 bytes of the card's sector 0.
;
; Started by the BIOS at 0000:7C00 with DL = BIOS drive number. Moves itself
; to 0000:0600, boots the first partition entry whose boot indicator has its
; high bit set by loading that partition's first sector to 0000:7C00 and
; jumping there with DL = boot drive (DS:SI pointing at the entry, as boot
; sectors customarily expect).
;
; Reads use the INT 13h extensions (LBA from the entry) when the BIOS reports
; them, CHS from the entry otherwise; five attempts with a disk reset between
; them, then once more on drive 80h when the boot drive was another one.
;
; The last three bytes hold the offsets of the three messages minus 256.

        cpu     386
        bits    16
        org     0x0600

BOOT_ADDR       equ     0x7C00
RELOC_ADDR      equ     0x0600
TABLE           equ     RELOC_ADDR + 446
SIGNATURE       equ     BOOT_ADDR + 510
ATTEMPTS        equ     5

; Working storage below the relocated code (the BIOS data area ends at 0x4FF).
boot_drive      equ     0x0500
attempts_left   equ     0x0501
entry_ptr       equ     0x0502

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, BOOT_ADDR
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, BOOT_ADDR
        mov     di, RELOC_ADDR
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        mov     [boot_drive], dl

        ; The first entry marked active is booted; a stray non-zero
        ; indicator before it means the table cannot be trusted.
        mov     si, TABLE
        mov     cx, 4
.scan:
        mov     al, [si]
        test    al, al
        js      .found
        jnz     invalid_table
        add     si, 16
        loop    .scan
        int     0x18
        jmp     halt

.found:
        mov     [entry_ptr], si

load_boot_sector:
        mov     byte [attempts_left], ATTEMPTS
.attempt:
        mov     si, [entry_ptr]
        mov     dl, [boot_drive]
        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1
        jz      .chs

        ; Extended read of one sector at the entry's start LBA.
        mov     si, [entry_ptr]
        mov     eax, [si + 8]
        mov     [dap.lba], eax
        mov     si, dap
        mov     dl, [boot_drive]
        mov     ah, 0x42
        int     0x13
        jnc     loaded
        jmp     .failed

.chs:
        mov     si, [entry_ptr]
        mov     dh, [si + 1]
        mov     cx, [si + 2]
        mov     dl, [boot_drive]
        mov     bx, BOOT_ADDR
        mov     ax, 0x0201
        int     0x13
        jnc     loaded

.failed:
        dec     byte [attempts_left]
        jz      .next_drive
        xor     ah, ah
        mov     dl, [boot_drive]
        int     0x13
        jmp     .attempt

.next_drive:
        cmp     byte [boot_drive], 0x80
        je      error_loading
        mov     byte [boot_drive], 0x80
        jmp     load_boot_sector

loaded:
        cmp     word [SIGNATURE], 0xAA55
        jne     missing_os
        call    enable_a20
        mov     dl, [boot_drive]
        mov     si, [entry_ptr]
        jmp     0:BOOT_ADDR

; Gate A20 through the keyboard controller's output port.
enable_a20:
        call    .wait
        mov     al, 0xD1
        out     0x64, al
        call    .wait
        mov     al, 0xDF
        out     0x60, al
.wait:
        xor     cx, cx
.busy:
        in      al, 0x64
        test    al, 2
        loopnz  .busy
        ret

invalid_table:
        mov     al, [msg_ptrs + 0]
        jmp     short print_message
error_loading:
        mov     al, [msg_ptrs + 1]
        jmp     short print_message
missing_os:
        mov     al, [msg_ptrs + 2]
print_message:
        ; Messages lie in the second half of the sector: 0x0700 + offset.
        mov     ah, (RELOC_ADDR + 256) >> 8
        mov     si, ax
.next:
        lodsb
        test    al, al
        jz      halt
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     .next

halt:
        hlt
        jmp     halt

dap:
        db      0x10, 0
        dw      1
        dw      BOOT_ADDR, 0
.lba:   dd      0, 0

%define MSG_INVALID     'Invalid partition table'
%define MSG_ERROR       'Error loading operating system'
%define MSG_MISSING     'Missing operating system'
%strlen LEN_INVALID     MSG_INVALID
%strlen LEN_ERROR       MSG_ERROR
%strlen LEN_MISSING     MSG_MISSING

        times   437 - (LEN_INVALID + LEN_ERROR + LEN_MISSING + 3) - ($ - $$) db 0
msg_invalid:    db      MSG_INVALID, 0
msg_error:      db      MSG_ERROR, 0
msg_missing:    db      MSG_MISSING, 0

msg_ptrs:
        db      msg_invalid - $$ - 256
        db      msg_error - $$ - 256
        db      msg_missing - $$ - 256

%if ($ - $$) != 440
%error "master boot code must be 440 bytes"
%endif
