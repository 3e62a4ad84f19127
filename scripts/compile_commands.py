"""Reading compile_commands.json: a source's compile command, and its flags
without what names the output, the dependency file or the source."""
import os
import shlex


def Arguments(entry):
    """The command of one entry as a list, the compiler first (a compiler
    cache in front of it left out)."""
    args = list(entry["arguments"]) if "arguments" in entry else shlex.split(entry["command"])
    if os.path.basename(args[0]) in ("ccache", "sccache"):
        args = args[1:]
    return args


def Flags(entry):
    """The flags of one entry that shape what the compiler reads: no -c, no
    output or dependency file, no source."""
    flags = []
    skip = False
    for arg in Arguments(entry)[1:]:
        if skip:
            skip = False
        elif arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif arg in ("-c", "-MD", "-MMD", entry["file"]) or arg.startswith(("-o", "-MF", "-MT", "-MQ")):
            pass
        else:
            flags.append(arg)
    return flags
