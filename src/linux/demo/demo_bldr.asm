; A demonstration BLDR for the demo card: the Windows CE boot sector's
; loader reads it to 0000:1000 and jumps here. It greets on the screen
; (INT 10h) and on the emulator's debug console (port 0xE9), then ends the
; emulator through its exit port (0xF4) or, on a real panel, halts.
        bits 16
        org 0x1000

start:
        cli
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov sp, 0x0FF0
        sti
        cld
        mov si, banner
.next:
        lodsb
        test al, al
        jz .done
        out 0xE9, al            ; debug console
        mov ah, 0x0E            ; teletype output
        mov bx, 0x0007
        int 0x10
        jmp .next
.done:
        mov al, 0x00
        out 0xF4, al            ; isa-debug-exit, when the emulator has one
.halt:
        cli
        hlt
        jmp .halt

banner:
        db "Tessarin demo panel: BLDR started from the restored card.", 13, 10, 0
