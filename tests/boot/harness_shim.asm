; Test harness put into sector 0 of a test card image in place of the master
; boot code (which moves to sector 1). It makes the boot chain observable on
; the emulator's debug console (port 0E9h) and ends the emulator (port 0F4h)
; where a real machine would wait:
;
;   INT 10h AH=0Eh   teletype text is copied to the debug console
;   INT 13h          every read is logged as "[rd02 <lba>]" or "[rd42 <lba>]";
;                    AH=41h fails when bit 0 of the flags is set (no
;                    extensions); reads touching the configured sector fail
;   INT 16h/18h/19h  "[key-wait]" (a wait for a key, AH=00h or 10h; other
;                    keyboard calls go to the BIOS), "[int18]", "[int19]"
;                    and exit
;   flags bit 1      the boot code under test is started with DL = 81h (a
;                    disk that is not there) instead of the BIOS's DL
;   IRQ 0            boot code halted (HLT) for a few ticks: "[halted]" and
;                    exit; nothing at all after ~10 s: "[stuck]" and exit
;
; Layout on the card: sector 0 is a stub (with a copy of the card's partition
; table at 446, so the emulator guesses the same geometry) that loads the
; harness body from sectors 2-3 to 0000:7E00; sector 1 holds the master boot
; code under test with the card's table. The body takes 1 KB off the top of
; conventional memory for itself, then loads sector 1 to 0000:7C00 and starts
; it with the BIOS's DL.
;
; The body's bytes 3 (flags) and 4-7 (sector to fail, FFFFFFFFh for none),
; file offsets 515 and 516-519, are set by the test.

        cpu     386
        bits    16

        section stub start=0 vstart=0x7C00

        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     es, ax
        sti
        mov     bx, 0x7E00
        mov     ax, 0x0202
        mov     cx, 0x0003
        xor     dh, dh
        int     0x13
        jc      $
        jmp     0:0x7E00

        times   510 - ($ - $$) db 0
        dw      0xAA55

        section body start=512 vstart=0x7E00

        jmp     near start
flags:          db      0
fail_lba:       dd      0xFFFFFFFF

DEBUG_PORT      equ     0xE9
EXIT_PORT       equ     0xF4
EXIT_HARNESS    equ     0x20

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     ds, ax
        sti
        cld
        mov     [drive], dl

        mov     ah, 0x08
        int     0x13
        and     cl, 0x3F
        mov     [spt], cl
        inc     dh
        mov     [heads], dh

        ; Reserve the top kilobyte and move there, keeping this sector's
        ; offsets: CS = (top - 0x7E00) / 16.
        dec     word [0x413]
        mov     ax, [0x413]
        shl     ax, 6
        sub     ax, 0x7E0
        mov     es, ax
        mov     si, 0x7E00
        mov     di, si
        mov     cx, 512
        rep     movsw

        cli
        mov     eax, [0x10 * 4]
        mov     [es:old10], eax
        mov     eax, [0x13 * 4]
        mov     [es:old13], eax
        mov     eax, [0x08 * 4]
        mov     [es:old08], eax
        mov     eax, [0x16 * 4]
        mov     [es:old16], eax
        mov     bx, 0x08 * 4
        mov     ax, irq0
        call    set_vector
        mov     bl, 0x10 * 4
        mov     ax, int10
        call    set_vector
        mov     bl, 0x13 * 4
        mov     ax, int13
        call    set_vector
        mov     bl, 0x16 * 4
        mov     ax, int16
        call    set_vector
        mov     bl, 0x18 * 4
        mov     ax, int18
        call    set_vector
        mov     bl, 0x19 * 4
        mov     ax, int19
        call    set_vector
        sti

        push    es
        push    word resident
        retf

set_vector:
        mov     [bx], ax
        mov     [bx + 2], es
        ret

resident:
        mov     si, msg_start
        call    print
        mov     ah, [cs:heads]
        mov     al, [cs:spt]
        movzx   eax, ax
        call    print_hex32
        mov     si, msg_close
        call    print
        ; Sector 1 (the master boot code under test) to 0000:7C00.
        xor     ax, ax
        mov     es, ax
        mov     bx, 0x7C00
        mov     ax, 0x0201
        mov     cx, 0x0002
        xor     dh, dh
        mov     dl, [cs:drive]
        pushf
        call    far [cs:old13]
        jc      stuck
        mov     dl, [cs:drive]
        test    byte [cs:flags], 2
        jz      .start
        mov     dl, 0x81
.start:
        jmp     0:0x7C00

; ---- handlers ---------------------------------------------------------------

int10:
        cmp     ah, 0x0E
        jne     .chain
        out     DEBUG_PORT, al
.chain:
        jmp     far [cs:old10]

int13:
        cmp     ah, 0x41
        jne     .read
        test    byte [cs:flags], 1
        jz      .chain
        mov     ah, 0x01
        jmp     short .fail
.read:
        pushad
        cmp     ah, 0x42
        je      .extended
        cmp     ah, 0x02
        jne     .pass
        ; LBA = (cylinder * heads + head) * sectors per track + sector - 1
        movzx   ebx, al                 ; count
        mov     al, cl
        and     al, 0x3F
        dec     al
        movzx   edi, al
        movzx   esi, dh                 ; head (MUL clobbers DX)
        movzx   eax, ch
        shr     cl, 6
        mov     ah, cl
        movzx   ecx, byte [cs:heads]
        mul     ecx
        add     eax, esi
        movzx   ecx, byte [cs:spt]
        mul     ecx
        add     eax, edi
        mov     si, msg_rd02
        jmp     short .check
.extended:
        movzx   ebx, word [si + 2]
        mov     eax, [si + 8]
        mov     si, msg_rd42
.check:
        call    print
        call    print_hex32
        mov     si, msg_close
        call    print
        mov     edx, [cs:fail_lba]
        sub     edx, eax
        cmp     edx, ebx
        jb      .failed
.pass:
        popad
.chain:
        jmp     far [cs:old13]
.failed:
        popad
        mov     ah, 0x04                ; sector not found
.fail:
        ; Carry set in the caller's flags, its interrupt flag kept.
        push    bp
        mov     bp, sp
        or      byte [bp + 6], 1
        pop     bp
        iret

int16:
        test    ah, 0xEF                ; 00h or 10h: wait for a key
        jz      .wait
        jmp     far [cs:old16]
.wait:
        mov     si, msg_key
        jmp     short finish
int18:
        mov     si, msg_int18
        jmp     short finish
int19:
        mov     si, msg_int19
        jmp     short finish
stuck:
        mov     si, msg_stuck
finish:
        call    print
        mov     al, EXIT_HARNESS
        out     EXIT_PORT, al
        cli
        hlt

irq0:
        push    bp
        mov     bp, sp
        push    ds
        push    bx
        push    ax
        inc     word [cs:ticks]
        cmp     word [cs:ticks], 182
        jae     stuck
        ; The interrupted code: return address at [bp+2], [bp+4].
        lds     bx, [bp + 2]
        mov     ax, ds
        cmp     ax, 0xA000
        jae     .chain
        cmp     byte [bx - 1], 0xF4
        jne     .chain
        inc     byte [cs:halted]
        cmp     byte [cs:halted], 3
        jb      .chain
        mov     si, msg_halted
        jmp     short finish
.chain:
        pop     ax
        pop     bx
        pop     ds
        pop     bp
        jmp     far [cs:old08]

; Writes the zero-ended text at CS:SI to the debug console.
print:
        push    ax
        push    si
.next:
        mov     al, [cs:si]
        inc     si
        test    al, al
        jz      .done
        out     DEBUG_PORT, al
        jmp     .next
.done:
        pop     si
        pop     ax
        ret

; Writes EAX as eight hex digits.
print_hex32:
        pushad
        mov     cx, 8
.digit:
        rol     eax, 4
        push    ax
        and     al, 0x0F
        add     al, '0'
        cmp     al, '9'
        jbe     .out
        add     al, 'A' - '0' - 10
.out:
        out     DEBUG_PORT, al
        pop     ax
        loop    .digit
        popad
        ret

msg_start:      db      10, '[harness geometry ', 0
msg_rd02:       db      '[rd02 ', 0
msg_rd42:       db      '[rd42 ', 0
msg_close:      db      ']', 10, 0
msg_key:        db      10, '[key-wait]', 10, 0
msg_int18:      db      10, '[int18]', 10, 0
msg_int19:      db      10, '[int19]', 10, 0
msg_halted:     db      10, '[halted]', 10, 0
msg_stuck:      db      10, '[stuck]', 10, 0

old08:          dd      0
old10:          dd      0
old13:          dd      0
old16:          dd      0
ticks:          dw      0
halted:         db      0
drive:          db      0
spt:            db      0
heads:          db      0

%if ($ - $$) > 1024
%error "harness body must fit in two sectors"
%endif
        times   1024 - ($ - $$) db 0
