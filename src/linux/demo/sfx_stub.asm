; The executable stub in front of the demo installer archive: a DOS program
; that only says what it is. The zip archive follows it in the same file.
        bits 16
        org 0

header:
        db "MZ"
        dw (image_end - $$) % 512      ; bytes on the last page
        dw (image_end - $$ + 511) / 512
        dw 0                    ; relocations
        dw 2                    ; header size in paragraphs
        dw 0x10                 ; minimum extra paragraphs
        dw 0xFFFF               ; maximum extra paragraphs
        dw 0                    ; initial SS, relative
        dw 0x100                ; initial SP
        dw 0                    ; checksum
        dw 0                    ; initial IP
        dw 0                    ; initial CS, relative
        dw 0x1C                 ; relocation table offset
        dw 0                    ; overlay
        times 32 - ($ - $$) db 0

code:
        push cs
        pop ds
        mov dx, message - code
        mov ah, 0x09
        int 0x21
        mov ax, 0x4C01
        int 0x21
message:
        db "This is a Tessarin installer archive. Restore it with Tessarin.", 13, 10, "$"
image_end:
