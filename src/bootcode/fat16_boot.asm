; Volume boot sector template of the ROM-DOS system, FAT12/16 layout.
;
; The restore keeps bytes 0-10 and 62-511 of this sector and takes 11-61 from
; the card. The code finds "IBMBIO  COM" in the root directory, loads the
; file's first sector to 0000:7E00 and jumps to 0000:7E0C with DI = the
; file's first cluster (low 16 bits), BP = 0x7C00 (this sector) and DL = the
; boot drive.
;
; The card is normally FAT32 (that is what FORMAT leaves), so a BPB with a
; 16-bit FAT size of 0 is read in the FAT32 layout: the drive number then
; comes from DL, and the first cluster of the root directory is searched.
; Otherwise the drive number is the BPB's (offset 36) and the fixed root
; directory is searched.
;
; On a hard disk the BIOS geometry replaces the BPB's, and the partition whose
; start equals the hidden sectors decides between extended (types 0Ch-0Fh)
; and CHS reads.

        cpu     386
        bits    16
        org     0x7C00

DIR_BUF         equ     0x7E00
LOADER_ENTRY    equ     0x7E0C

; BPB fields, as offsets from BP.
BPB_BYTES_PER_SECTOR    equ     11
BPB_SECTORS_PER_CLUSTER equ     13
BPB_RESERVED            equ     14
BPB_FATS                equ     16
BPB_ROOT_ENTRIES        equ     17
BPB_FAT_SIZE16          equ     22
BPB_SECTORS_PER_TRACK   equ     24
BPB_HEADS               equ     26
BPB_HIDDEN              equ     28
BS_DRIVE                equ     36
FAT32_FAT_SIZE          equ     36
FAT32_ROOT_CLUSTER      equ     44

; Working storage just below the sector, addressed from BP.
drive           equ     -1              ; byte
use_lba         equ     -2              ; byte
data_start      equ     -10             ; dword: first sector of cluster 2
dir_sectors     equ     -12             ; word: sectors left to search

        db      0xEB, 0x3C, 0x90
        db      'MSDOS5.0'

; A 32 MB FAT16 volume; the card's own BPB replaces it.
bpb_bytes_per_sector:   dw      512             ; 11
bpb_sectors_per_cluster: db     4               ; 13
bpb_reserved:           dw      4               ; 14
bpb_fats:               db      2               ; 16
bpb_root_entries:       dw      512             ; 17
bpb_total16:            dw      0               ; 19
bpb_media:              db      0xF8            ; 21
bpb_fat_size16:         dw      64              ; 22
bpb_sectors_per_track:  dw      63              ; 24
bpb_heads:              dw      16              ; 26
bpb_hidden:             dd      63              ; 28
bpb_total32:            dd      65473           ; 32
bs_drive:               db      0x80            ; 36 (FAT32: FAT size)
                        db      0               ; 37
                        db      0x29            ; 38
                        dd      0x12345678      ; 39
                        db      'NO NAME    '   ; 43
                        db      'FAT16   '      ; 54

%if ($ - $$) != 62
%error "boot code must start at offset 62"
%endif

boot_code:
        xor     ax, ax
        mov     ss, ax                  ; no interrupt until SP is set too
        mov     sp, 0x7C00 - 16
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     bp, 0x7C00

        cmp     word [bp + BPB_FAT_SIZE16], 0
        je      .have_drive             ; FAT32: the BIOS's DL
        mov     dl, [bp + BS_DRIVE]
.have_drive:
        mov     [bp + drive], dl
        mov     byte [bp + use_lba], 0
        test    dl, dl
        jns     .volume                 ; a diskette: the BPB's geometry

        mov     ah, 0x08
        push    es                      ; some BIOSes return a table in ES:DI
        int     0x13
        pop     es
        jc      .volume
        and     cx, 0x3F                ; CH = 0 from here on
        mov     [bp + BPB_SECTORS_PER_TRACK], cx
        movzx   ax, dh
        inc     ax
        mov     [bp + BPB_HEADS], ax

        ; The partition this volume starts at tells how to read it.
        xor     eax, eax
        mov     bx, DIR_BUF
        call    read_sector
        mov     si, DIR_BUF + 446
        mov     cl, 4
        mov     eax, [bp + BPB_HIDDEN]
.entry:
        cmp     [si + 8], eax
        je      .type
        add     si, 16
        loop    .entry
        jmp     short .volume
.type:
        mov     al, [si + 4]
        and     al, 0xFC
        cmp     al, 0x0C
        jne     .volume
        inc     byte [bp + use_lba]

.volume:
        ; EAX = first sector of the FATs, then the directory to search and
        ; the first sector of cluster 2.
        movzx   eax, word [bp + BPB_RESERVED]
        add     eax, [bp + BPB_HIDDEN]
        movzx   ecx, byte [bp + BPB_FATS]
        movzx   ebx, word [bp + BPB_FAT_SIZE16]
        test    bx, bx
        jz      .fat32

        imul    ebx, ecx
        add     eax, ebx                ; first root directory sector
        mov     cx, [bp + BPB_ROOT_ENTRIES]
        shr     cx, 4
        jz      failure
        mov     [bp + dir_sectors], cx
        mov     edx, eax
        add     edx, ecx
        mov     [bp + data_start], edx
        jmp     short .search

.fat32:
        imul    ecx, [bp + FAT32_FAT_SIZE]
        add     eax, ecx
        mov     [bp + data_start], eax
        mov     eax, [bp + FAT32_ROOT_CLUSTER]
        call    cluster_to_sector
        movzx   cx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        mov     [bp + dir_sectors], cx

.search:
        mov     bx, DIR_BUF
        call    read_sector
        mov     di, bx
        mov     cx, 16
.compare:
        pusha
        mov     si, system_file
        mov     cx, 11
        repe    cmpsb
        popa
        je      .found
        add     di, 32
        loop    .compare
        inc     eax
        dec     word [bp + dir_sectors]
        jnz     .search
        jmp     failure

.found:
        ; The high word of the first cluster is 0 on FAT12/16.
        mov     ax, [di + 20]
        shl     eax, 16
        mov     ax, [di + 26]
        push    ax
        call    cluster_to_sector
        call    read_sector             ; BX is still DIR_BUF
        pop     di
        mov     dl, [bp + drive]
        jmp     0:LOADER_ENTRY

; EAX = first sector of cluster EAX.
cluster_to_sector:
        sub     eax, 2
        movzx   ecx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        mul     ecx
        add     eax, [bp + data_start]
        ret

; Reads the sector EAX to 0000:BX, five attempts; on failure reports and
; does not return.
read_sector:
        pushad
        mov     di, 5
.attempt:
        pushad
        cmp     byte [bp + use_lba], 0
        je      .chs
        mov     di, sp
        push    dword 0
        push    eax
        push    es
        push    bx
        push    word 1
        push    word 0x10
        mov     si, sp
        mov     dl, [bp + drive]
        mov     ah, 0x42
        int     0x13
        mov     sp, di
        jmp     short .done
.chs:
        xor     edx, edx
        movzx   ecx, word [bp + BPB_SECTORS_PER_TRACK]
        div     ecx
        inc     dx
        mov     cl, dl                  ; sector
        xor     edx, edx
        movzx   esi, word [bp + BPB_HEADS]
        div     esi
        mov     dh, dl                  ; head
        mov     ch, al                  ; cylinder, low eight bits
        shl     ah, 6
        or      cl, ah                  ; cylinder, high two bits
        mov     dl, [bp + drive]
        mov     ax, 0x0201
        int     0x13
.done:
        popad
        jnc     .ok
        dec     di
        jnz     .attempt
        jmp     failure
.ok:
        popad
        ret

failure:
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

        times   441 - ($ - $$) db 0
system_file:    db      'IBMBIO  COM'
message:        db      13, 10, 'Non-system disk or disk error', 13, 10, 'Press a key to reboot', 13, 10, 0

        times   510 - ($ - $$) db 0
        dw      0xAA55
