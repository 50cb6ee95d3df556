# gdb -x gdb_frames.py: every thread's frames, one a line ("THREAD tid", then
# "kind<TAB>pc<TAB>function<TAB>file<TAB>line"; kind is normal, inline, tailcall, sigtramp or
# other), for the capture tests to compare with their own.
import gdb
kinds = {gdb.NORMAL_FRAME: "normal", gdb.INLINE_FRAME: "inline", gdb.TAILCALL_FRAME: "tailcall",
         gdb.SIGTRAMP_FRAME: "sigtramp"}
for inferior in gdb.inferiors():
    for thread in sorted(inferior.threads(), key=lambda t: t.ptid[1]):
        thread.switch()
        print("THREAD %d" % thread.ptid[1])
        frame = gdb.newest_frame()
        while frame is not None:
            sal = frame.find_sal()
            print("%s\t%x\t%s\t%s\t%d" % (kinds.get(frame.type(), "other"), frame.pc(), frame.name() or "",
                  sal.symtab.filename if sal.symtab else "", sal.line))
            try:
                frame = frame.older()
            except gdb.error:
                break
