; Test payload: what a boot stage hands over to. Reports on the debug
; console (port 0E9h) the registers it received and its own entry address,
; then ends the emulator (port 0F4h):
;
;   PAYLOAD <name> CS=.... IP=.... AX=.... BX=.... CX=.... DX=.... SI=....
;           DI=.... BP=.... SP=.... DS=.... ES=.... SS=....
;
; Assembled once per hand-over with -DORG=<load address> -DHEADER=<bytes
; before the entry point> -DNAME=<name>. With -DSECTORS=<n> it is the
; first sector of a file of up to n sectors, each of which (from the second
; on) starts with "SECT" and its 16-bit index: it then also reports how many
; consecutive sectors it finds in memory behind itself ("loaded=...").

        cpu     386
        bits    16
        org     ORG

DEBUG_PORT      equ     0xE9
EXIT_PORT       equ     0xF4
EXIT_PAYLOAD    equ     0x10

%ifndef HEADER
%define HEADER 0
%endif

        ; Entering anywhere in the header stops the machine for good (the
        ; emulator then runs into its time limit): only the entry point
        ; reports.
        times   HEADER / 2 db 0xFA, 0xF4
        times   HEADER % 2 db 0xF4

entry:
        mov     [cs:r_ax], ax
        mov     [cs:r_bx], bx
        mov     [cs:r_cx], cx
        mov     [cs:r_dx], dx
        mov     [cs:r_si], si
        mov     [cs:r_di], di
        mov     [cs:r_bp], bp
        mov     [cs:r_sp], sp
        mov     [cs:r_ds], ds
        mov     [cs:r_es], es
        mov     [cs:r_ss], ss
        mov     [cs:r_cs], cs
        call    .here
.here:
        pop     ax
        sub     ax, .here - entry
        mov     [cs:r_ip], ax

        push    cs
        pop     ds
        cld
        mov     si, msg_head
        call    print
        mov     si, names
        mov     di, r_cs
        mov     cx, 13
.register:
        call    print                   ; " XX="
        mov     ax, [di]
        call    print_hex16
        add     di, 2
        loop    .register

%ifdef SECTORS
        ; Count the file's sectors found in memory behind this one, a
        ; segment step per sector, so that a file beyond 64 KiB counts too.
        mov     si, msg_loaded
        call    print
        mov     dx, cs
        add     dx, (ORG + 512) >> 4
        mov     ax, 1
.sector:
        mov     es, dx
        cmp     dword [es:0], 'SECT'
        jne     .counted
        cmp     [es:4], ax
        jne     .counted
        inc     ax
        add     dx, 512 >> 4
        cmp     ax, SECTORS
        jb      .sector
.counted:
        call    print_hex16
%endif

        mov     si, msg_end
        call    print
        mov     al, EXIT_PAYLOAD
        out     EXIT_PORT, al
        cli
        hlt

; Writes the zero-ended text at DS:SI and leaves SI behind its end.
print:
        push    ax
.next:
        lodsb
        test    al, al
        jz      .done
        out     DEBUG_PORT, al
        jmp     .next
.done:
        pop     ax
        ret

print_hex16:
        push    ax
        push    cx
        mov     cx, 4
.digit:
        rol     ax, 4
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
        pop     cx
        pop     ax
        ret

%defstr NAME_TEXT NAME
msg_head:       db      10, 'PAYLOAD ', NAME_TEXT, 0
names:          db      ' CS=', 0, ' IP=', 0, ' AX=', 0, ' BX=', 0, ' CX=', 0, ' DX=', 0, ' SI=', 0
                db      ' DI=', 0, ' BP=', 0, ' SP=', 0, ' DS=', 0, ' ES=', 0, ' SS=', 0
msg_loaded:     db      ' loaded=', 0
msg_end:        db      10, 'PAYLOAD END', 10, 0

r_cs:   dw      0
r_ip:   dw      0
r_ax:   dw      0
r_bx:   dw      0
r_cx:   dw      0
r_dx:   dw      0
r_si:   dw      0
r_di:   dw      0
r_bp:   dw      0
r_sp:   dw      0
r_ds:   dw      0
r_es:   dw      0
r_ss:   dw      0

%if ($ - $$) > 512
%error "payload must fit in one sector"
%endif
        times   510 - ($ - $$) db 0
        dw      0xAA55
