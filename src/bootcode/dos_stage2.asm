; Second boot stage of the DOS system: the volume's sector 12, loaded by the
; FAT32 boot sector (fat32_boot.asm) to 0000:8000 and entered there with
; DL = BIOS drive and BP = 0x7C00, the boot sector with the volume's BPB.
;
; Finds "BOOTMGR" in the FAT32 root folder (any root cluster, any cluster
; size, following the root's FAT chain), loads the whole file, cluster by
; cluster along its FAT chain, to 2000:0000 onward and jumps to 2000:0000
; with DL = drive, BP = 0x7C00 and DS = ES = SS = 0.
;
; The file must fit between 2000:0000 and the top of conventional memory
; that INT 12h reports (a little under 512 KiB on a PC); a larger file, an
; empty one or one whose FAT chain ends before its size is refused with a
; message. Sectors are 512 bytes, as on every card the restore accepts.
;
; Sectors are read one at a time through the boot sector's own read routine
; (fat32_boot.inc): by INT 13h extensions or CHS, as the boot sector found
; the BIOS, with its retries and its "Disk error". So this stage leaves the
; boot sector at 0000:7C00 and the working storage below it alone, and keeps
; its own below that. After a message it waits for a key and calls INT 19h.

        cpu     386
        bits    16
        org     0x8000

%include "fat32_boot.inc"

LOAD_SEG        equ     0x2000          ; BOOTMGR's load address, 2000:0000
FAT_BUF         equ     0x0600          ; one sector of the FAT
DIR_BUF         equ     0x0800          ; one sector of the root folder

; BPB fields, as offsets from BP.
BPB_SECTORS_PER_CLUSTER equ     13
BPB_RESERVED            equ     14
BPB_FATS                equ     16
BPB_HIDDEN              equ     28
BPB_FAT_SIZE32          equ     36
BPB_EXT_FLAGS           equ     40
BPB_ROOT_CLUSTER        equ     44

; Working storage below the boot sector's own (BP - 1 to BP - 8),
; addressed from BP; the stack goes below it.
drive           equ     -9              ; byte
fat_start       equ     -13             ; dword: first sector of the FAT in use
data_start      equ     -17             ; dword: first sector of cluster 2
fat_cached      equ     -21             ; dword: FAT sector held in FAT_BUF
cluster         equ     -25             ; dword: cluster being read
remaining       equ     -27             ; word: sectors of the file to load
load_seg        equ     -29             ; word: segment of the next sector
dir_budget      equ     -31             ; word: root folder sectors left
STACK_TOP       equ     0x7C00 - 32

stage2:
        mov     sp, STACK_TOP
        mov     [bp + drive], dl
        xor     ax, ax
        mov     [bp + fat_cached], ax   ; no FAT sector held yet (sector 0
        mov     [bp + fat_cached + 2], ax ; is never one)

        ; The FAT in use: the first, or with mirroring off (flags bit 7)
        ; the one that bits 0-3 name. Cluster 2 follows all the FATs.
        movzx   ecx, word [bp + BPB_RESERVED]
        add     ecx, [bp + BPB_HIDDEN]
        mov     ebx, [bp + BPB_FAT_SIZE32]
        movzx   eax, byte [bp + BPB_EXT_FLAGS]
        test    al, al
        js      .active_fat
        xor     ax, ax
.active_fat:
        and     al, 0x0F
        mul     ebx
        add     eax, ecx
        mov     [bp + fat_start], eax
        movzx   eax, byte [bp + BPB_FATS]
        mul     ebx
        add     eax, ecx
        mov     [bp + data_start], eax

        ; The root folder, cluster by cluster, sector by sector; no more
        ; than its 65,536 entries, should its chain run in a circle.
        mov     word [bp + dir_budget], 65536 * 32 / 512
        mov     eax, [bp + BPB_ROOT_CLUSTER]
.dir_cluster:
        call    cluster_first_sector    ; CX = sectors per cluster
        jc      missing                 ; the root's chain ended
.dir_sector:
        dec     word [bp + dir_budget]
        js      missing
        xor     bx, bx
        mov     es, bx
        mov     bx, DIR_BUF
        call    FAT32_READ_SECTOR
        mov     di, bx
.entry:
        cmp     byte [di], 0            ; the folder ends here
        je      missing
        test    byte [di + 11], 0x18    ; neither a label nor a folder
        jnz     .next_entry
        pusha
        mov     si, bootmgr_name
        mov     cx, 11
        repe    cmpsb
        popa
        je      found
.next_entry:
        add     di, 32
        cmp     di, DIR_BUF + 512
        jb      .entry
        inc     eax
        loop    .dir_sector
        call    next_cluster
        jmp     .dir_cluster

found:
        ; Sectors to load: the size rounded up, at least one, no more than
        ; lie between 2000:0000 and the top of conventional memory.
        mov     ecx, [di + 28]
        add     ecx, 511
        jc      too_large
        shr     ecx, 9
        jz      damaged
        int     0x12                    ; AX = KiB of conventional memory
        shl     ax, 1
        sub     ax, LOAD_SEG / 32
        jbe     too_large
        movzx   eax, ax
        cmp     ecx, eax
        ja      too_large
        mov     [bp + remaining], cx
        mov     word [bp + load_seg], LOAD_SEG

        mov     ax, [di + 20]           ; first cluster, high word
        shl     eax, 16
        mov     ax, [di + 26]           ; and low word
.file_cluster:
        call    cluster_first_sector
        jc      damaged                 ; the chain ended before the size
.file_sector:
        mov     es, [bp + load_seg]
        xor     bx, bx
        call    FAT32_READ_SECTOR
        add     word [bp + load_seg], 512 / 16
        dec     word [bp + remaining]
        jz      .loaded
        inc     eax
        loop    .file_sector
        call    next_cluster
        jmp     .file_cluster

.loaded:
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        movzx   dx, byte [bp + drive]
        jmp     LOAD_SEG:0

; For the cluster EAX: CF set when it is no cluster of a chain (free,
; reserved, bad or end of chain); otherwise keeps it, and returns
; EAX = its first sector and CX = sectors per cluster.
cluster_first_sector:
        and     eax, 0x0FFFFFFF
        cmp     eax, 2
        jb      .none
        cmp     eax, 0x0FFFFFF7
        jae     .none
        mov     [bp + cluster], eax
        dec     eax
        dec     eax
        movzx   ecx, byte [bp + BPB_SECTORS_PER_CLUSTER]
        mul     ecx
        add     eax, [bp + data_start]
        clc
        ret
.none:
        stc
        ret

; EAX = the FAT's entry for the kept cluster, the next of its chain.
next_cluster:
        mov     eax, [bp + cluster]
        movzx   si, al
        and     si, 0x7F
        shl     si, 2                   ; offset in the FAT sector
        shr     eax, 7
        add     eax, [bp + fat_start]
        xor     bx, bx
        mov     es, bx
        mov     bx, FAT_BUF
        cmp     eax, [bp + fat_cached]
        je      .cached
        call    FAT32_READ_SECTOR
        mov     [bp + fat_cached], eax
.cached:
        mov     eax, [bx + si]
        ret

missing:
        mov     si, msg_missing
        jmp     short report
too_large:
        mov     si, msg_too_large
        jmp     short report
damaged:
        mov     si, msg_damaged
report:
        xor     ax, ax
        mov     ds, ax
        call    print
        mov     si, msg_restart
        call    print
        xor     ah, ah
        int     0x16
        int     0x19

; Writes the zero-ended text at DS:SI.
print:
        lodsb
        test    al, al
        jz      .done
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     print
.done:
        ret

bootmgr_name:   db      'BOOTMGR    '
msg_missing:    db      13, 10, 'BOOTMGR is missing', 0
msg_too_large:  db      13, 10, 'BOOTMGR is too large', 0
msg_damaged:    db      13, 10, 'BOOTMGR is damaged', 0
msg_restart:    db      13, 10, 'Press any key to restart', 13, 10, 0

%if ($ - $$) > 512
%error "the second stage must fit in one sector"
%endif
        times   512 - ($ - $$) db 0
