; Windows CE loader: bytes 90-511 of the volume boot sector (the FAT32
; template's jump at offset 0 enters it at its first byte).
;
; Moves the sector to 0000:FA00 (stack below it), finds "BLDR" among the
; entries of the root directory's first sector, loads the file's first 68
; sectors to 0000:1000 and jumps there with BX = low and AX = high 16 bits
; of the volume's first data sector (DL = drive from offset 64).
;
; The loaded file fills 0x1000-0x97FF, below the moved sector. Reads are
; single-sector INT 13h extended reads; the extensions are taken for granted.

        cpu     386
        bits    16

SECTOR_ADDR     equ     0x7C00
RELOC_ADDR      equ     0xFA00
DIR_ADDR        equ     0x0500
BLDR_ADDR       equ     0x1000
BLDR_SECTORS    equ     68

        org     RELOC_ADDR + 90

; Fields of the boot sector (FAT32 layout), as offsets from BP = RELOC_ADDR.
BYTES_PER_SECTOR        equ     11
SECTORS_PER_CLUSTER     equ     13
RESERVED_SECTORS        equ     14
NUMBER_OF_FATS          equ     16
HIDDEN_SECTORS          equ     28
FAT_SIZE32              equ     36
ROOT_CLUSTER            equ     44
DRIVE_NUMBER            equ     64

loader:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, RELOC_ADDR
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, SECTOR_ADDR
        mov     di, RELOC_ADDR
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        mov     bp, RELOC_ADDR

        ; First data sector = FATs * FAT size + hidden + reserved sectors.
        movzx   eax, byte [bp + NUMBER_OF_FATS]
        mul     dword [bp + FAT_SIZE32]
        add     eax, [bp + HIDDEN_SECTORS]
        movzx   ecx, word [bp + RESERVED_SECTORS]
        add     eax, ecx
        mov     [first_data], eax

        ; The root directory's first sector.
        mov     eax, [bp + ROOT_CLUSTER]
        call    cluster_to_sector
        mov     bx, DIR_ADDR
        call    read_sector

        mov     di, bx
        mov     cx, [bp + BYTES_PER_SECTOR]
        shr     cx, 5
.compare:
        pusha
        mov     si, bldr_name
        mov     cx, 11
        repe    cmpsb
        popa
        je      .found
        add     di, 32
        loop    .compare
        jmp     failure

.found:
        mov     ax, [di + 20]           ; first cluster, high word
        shl     eax, 16
        mov     ax, [di + 26]           ; and low word
        call    cluster_to_sector
        mov     bx, BLDR_ADDR
        mov     cx, BLDR_SECTORS
.load:
        call    read_sector
        add     bx, [bp + BYTES_PER_SECTOR]
        inc     eax
        loop    .load

        mov     dl, [bp + DRIVE_NUMBER]
        mov     bx, [first_data]
        mov     ax, [first_data + 2]
        jmp     0:BLDR_ADDR

; EAX = first sector of cluster EAX.
cluster_to_sector:
        sub     eax, 2
        movzx   ecx, byte [bp + SECTORS_PER_CLUSTER]
        mul     ecx
        add     eax, [first_data]
        ret

; Reads the sector EAX to 0000:BX; on failure reports and does not return.
read_sector:
        pushad
        mov     [dap.buffer], bx
        mov     [dap.lba], eax
        mov     si, dap
        mov     dl, [bp + DRIVE_NUMBER]
        mov     ah, 0x42
        int     0x13
        popad
        jc      failure
        ret

failure:
        ; Quiet the panel's board logic before the message.
        xor     al, al
        mov     dx, 0x504
        out     dx, al
        inc     dx
        out     dx, al
        mov     dl, 0x0C
        out     dx, al
        inc     dx
        out     dx, al
        inc     ax
        out     dx, al

        mov     si, message
.next:
        lodsb
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

first_data:     dd      0

dap:            db      0x10, 0
                dw      1
.buffer:        dw      0, 0
.lba:           dd      0, 0

bldr_name:      db      'BLDR       '
message:        db      13, 10, 'Cannot load BLDR!', 0

        times   420 - ($ - $$) db 0
        dw      0xAA55
