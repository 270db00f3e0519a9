# The tarvik agent: lets a Python tarvik.tcl.TclProcess host drive this Tcl interpreter.
#
# Started by a host, it serves that host over the link the host names in ::tarvik::link, then
# exits when the host goes: two named pipes (their paths come in the environment variable
# TARVIK_AGENT_LINK), or this process's own stdin and stdout (the host wrote this text to stdin).
# Either way the agent reopens them as channels of its own, which Tcl opens close-on-exec: no
# program that this interpreter runs inherits the link. Sourced anywhere else (inside a tool's
# shell, say), it only defines ::tarvik::serve, which serves one host that connects over TCP and
# presents the token printed on stdout.
#
# Frames, both ways: a 5-byte header (the frame kind as one ASCII byte, the payload length as a
# 32-bit big-endian integer) and the payload. Lengths are checked before anything is read, so a
# corrupt or hostile header costs nothing. A command travels as a canonical word list and runs as
# exactly those words in the global namespace: nothing in it is substituted. Where the link
# shares a stream with what this process prints (stdout, a terminal), every frame the agent sends
# starts with a marker that the host chose for the session, which tells frames from output.
#
# The host sends UTF-8, and writes the kind in capitals when the payload is ASCII without NUL
# (whose bytes already are the string, as Tcl keeps it). The agent sends a string as the bytes Tcl
# keeps it in, where its Tcl can hand them over unconverted (the "identity" encoding), otherwise in
# UTF-8. Those bytes are UTF-8 but for NUL, written C0 80, and, in Tcl 8, a character beyond the BMP
# as the two surrogates of UTF-16, each in three bytes; the host reads both forms.
#
# Kinds sent by the host: c (call: a word list), e (eval: a script), s (set a variable: the name's
# length in bytes as a 32-bit integer, the name and the value; answered with an empty result),
# r (the result of a callback), x (a callback's error: {message errorInfo errorCode}), t (the
# token, first frame over TCP), u (the last answer again, in UTF-8), z (the host leaves), q (a
# frame wrapped so that no "~" follows a line end, which an ssh client in the way would take for
# an escape: "~" is written 7F 01 and 7F as 7F 02, and bytes after the frame are padding), p (calls
# in flight: {segment kind text ...}, see Batch). Kinds sent by the agent: h (hello: {tarvik-agent
# protocol patchlevel pid}), o (ok: the result), e (error: {message errorInfo errorCode}),
# b (callback: {id arg ...}), d (ids of callback commands that Tcl deleted), a (the results of the
# next calls in flight, a list), n (how many of the next calls in flight were not run).
#
# Plain Tcl 8.5 or later, Tcl 9 included, or Jim Tcl 0.81 or later (see "Jim Tcl" below); no
# extension is needed.

namespace eval ::tarvik {
    variable protocol 3
    # Whether this is Jim Tcl (OpenOCD's Tcl, jimsh) rather than Tcl.
    variable jim [expr {[info exists ::tcl_platform(engine)] && $::tcl_platform(engine) eq "Jim"}]
    # This file, as Jim's error traces name it ("" when the agent came as text).
    variable script [info script]
    # The largest payload accepted, in bytes.
    variable maxframe [expr {256 * 1024 * 1024}]
    variable in {}
    variable out {}
    # Written before every frame sent, where the link carries this process's output too.
    variable marker {}
    # The last answer, should the host ask for it again.
    variable last {}
    # Ids of callback commands deleted since the host last heard of it.
    variable dropped {}
    # Calls in flight read while a callback waits for its function: they run, in order, once the
    # call that made the callback is answered.
    variable later {}
    # The segment of calls in flight in which a call failed: the rest of it is not run.
    variable failed {}
    # The results of the calls in flight run so far that the host has not been sent.
    variable results {}
    # Whether strings cross as the bytes Tcl keeps them in (a copy, where UTF-8 costs a conversion
    # of every character). Set beforehand, it is left as it is.
    variable raw
    if {![info exists raw]} {
        set raw [expr {!$jim && ![catch {encoding convertto identity {}}]}]
    }
    # Whether the channel to the host writes strings as those bytes by itself (the identity
    # encoding: nothing converted, nothing copied but into the channel's buffer).
    variable direct 0
    # A payload bigger than this is read in its own way (see Chars).
    variable big 65536
    # After how many frames the serving loop enters itself afresh (0: never, where Tcl cannot):
    # a running procedure goes on with its old bytecode, slowly, once a package (TclX, say)
    # redefines a command, and only a new call compiles it again.
    variable reenter [expr {[llength [info commands ::tailcall]] ? 64 : 0}]
    namespace export serve
}

# ---------------------------------------------------------------------------------------------
# Frames

# The bytes that carry a string to the host over a channel that writes bytes as they are.
proc ::tarvik::Bytes {text} {
    variable raw
    if {$raw} {
        return [encoding convertto identity $text]
    }
    if {[string length $text] == [string bytelength $text]} {
        # Only ASCII: the channel writes its characters as they are (far cheaper than an encoding).
        return $text
    }
    if {[catch {encoding convertto utf-8 $text} bytes]} {
        # Tcl 9 refuses to encode a lone surrogate by default; send a replacement instead.
        set bytes [encoding convertto -profile replace utf-8 $text]
    }
    return $bytes
}

proc ::tarvik::Send {kind text} {
    variable out
    variable dropped
    variable direct
    variable marker
    if {$dropped ne "" && $kind ne "d"} {
        set ids $dropped
        set dropped {}
        Send d $ids
    }
    if {$direct} {
        # The header, too, as a string of its bytes.
        set length [string bytelength $text]
        puts -nonewline $out $marker[encoding convertfrom identity [binary format a1I $kind $length]]
        puts -nonewline $out $text
        flush $out
    } else {
        Put $kind [Bytes $text]
    }
}

# Sends a frame whose payload is `bytes`, as they are.
proc ::tarvik::Put {kind bytes} {
    variable out
    variable direct
    variable marker
    set header [binary format a1I $kind [string length $bytes]]
    if {$direct} {
        # The channel writes a string's own bytes: hand it strings whose bytes are these.
        set header [encoding convertfrom identity $header]
        set bytes [encoding convertfrom identity $bytes]
    }
    puts -nonewline $out $marker$header
    puts -nonewline $out $bytes
    flush $out
}

# `length` bytes from the host.
proc ::tarvik::Read {length} {
    variable in
    set data [read $in $length]
    if {[string length $data] < $length} {
        LinkError "the host closed the link inside a frame"
    }
    return $data
}

# The text of a payload's part of `length` bytes, read from the host.
proc ::tarvik::Chars {kind length} {
    variable in
    variable raw
    variable big
    if {$raw && $length > $big && [string is upper $kind]} {
        # Big ASCII without NUL: read as characters that need no conversion, straight into a
        # string (reading bytes and converting them costs a copy more).
        fconfigure $in -encoding identity
        set text [read $in $length]
        fconfigure $in -encoding binary
        if {[string bytelength $text] != $length} {
            LinkError "a frame is not what its kind says, or the link closed inside it"
        }
        return $text
    }
    return [Text $kind [Read $length]]
}

# The text of UTF-8 bytes. The host writes the kind of a frame in capitals when its payload is
# ASCII without NUL, whose bytes already are its text.
proc ::tarvik::Text {kind bytes} {
    variable raw
    if {[string is upper $kind]} {
        if {$raw} {
            return [encoding convertfrom identity $bytes]
        }
        return $bytes
    }
    if {[catch {encoding convertfrom utf-8 $bytes} text]} {
        LinkError "a frame is not UTF-8"
    }
    return $text
}

# The text of a frame's payload; for a variable set, the words that set it.
proc ::tarvik::Payload {kind length} {
    if {$kind ne "S" && $kind ne "s"} {
        return [Chars $kind $length]
    }
    # The name's length in bytes, the name and the value, with no list to parse around a big
    # value.
    if {$length < 4 || [binary scan [Read 4] I size] < 1 || $size < 0 || $size > $length - 4} {
        LinkError "a malformed frame"
    }
    set name [Text $kind [Read $size]]
    return [list ::set $name [Chars $kind [expr {$length - 4 - $size}]]]
}

# A frame that the host wrapped (kind q), unwrapped: {kind text}, the text of a variable set
# being the words that set it.
proc ::tarvik::Unwrap {bytes} {
    set bytes [string map [list \x7f\x01 ~ \x7f\x02 \x7f] $bytes]
    if {[binary scan $bytes a1I kind length] < 2 || $length < 0
            || $length > [string length $bytes] - 5} {
        LinkError "a malformed frame"
    }
    set payload [string range $bytes 5 [expr {4 + $length}]]
    if {$kind ne "S" && $kind ne "s"} {
        return [list $kind [Text $kind $payload]]
    }
    if {$length < 4 || [binary scan $payload I size] < 1 || $size < 0 || $size > $length - 4} {
        LinkError "a malformed frame"
    }
    set name [Text $kind [string range $payload 4 [expr {3 + $size}]]]
    set value [Text $kind [string range $payload [expr {4 + $size}] end]]
    return [list $kind [list ::set $name $value]]
}

proc ::tarvik::LinkError {message} {
    return -code error -errorcode {TARVIK LINK} $message
}

# ---------------------------------------------------------------------------------------------
# Jim Tcl
#
# Jim keeps a string as its bytes (UTF-8, NUL as itself), and its channels move bytes as they are:
# text needs no conversion either way. It has no binary and no encoding, and a fconfigure of its
# own. What the agent uses of them is defined here, in the agent's namespace, where its calls find
# it before the global command: the rest of the agent reads the same on both.

if {$::tarvik::jim} {
    # convertto and convertfrom, utf-8 and identity alike: a string's bytes already are its UTF-8.
    proc ::tarvik::encoding {operation name data} {
        return $data
    }

    # The forms the agent uses: format a1I (a frame header), scan a1I, I and H*.
    proc ::tarvik::binary {operation args} {
        if {$operation eq "format"} {
            lassign $args format kind length
            pack header $length -intbe 32
            return $kind$header
        }
        lassign $args data format first second
        upvar 1 $first value
        switch -- $format {
            a1I {
                if {[string length $data] < 5} {
                    return 0
                }
                upvar 1 $second length
                set value [string index $data 0]
                set length [unpack $data -intbe 8 32]
                return 2
            }
            I {
                if {[string length $data] < 4} {
                    return 0
                }
                set value [unpack $data -intbe 0 32]
                return 1
            }
            H* {
                set value {}
                for {set at 0} {$at < 8 * [string length $data]} {incr at 8} {
                    append value [format %02x [unpack $data -uintbe $at 8]]
                }
                return 1
            }
        }
        return -code error "binary scan $format: not a form the agent uses"
    }

    # Blocking and buffering are all that Jim's channels have of Tcl's options; the rest
    # (translation, buffer size) means nothing to channels that move bytes as they are. Of the
    # queries, the agent asks only for a listening socket's address.
    proc ::tarvik::fconfigure {channel args} {
        if {$args eq "-sockname"} {
            set address [$channel sockname]
            set at [string last : $address]
            set host [string range $address 0 [expr {$at - 1}]]
            return [list $host $host [string range $address [expr {$at + 1}] end]]
        }
        if {[llength $args] % 2} {
            return -code error "fconfigure $channel: no option [lindex $args end] in Jim Tcl"
        }
        foreach {option value} $args {
            switch -- $option {
                -blocking {$channel ndelay [expr {!$value}]}
                -buffering {$channel buffering $value}
                -translation - -buffersize {}
                default {return -code error "fconfigure $channel: no option $option in Jim Tcl"}
            }
        }
    }

    # socket -server command -myaddr host port, as Tcl's: the command is called with each new
    # connection, its address and port.
    proc ::tarvik::socket {args} {
        lassign $args - command - host port
        set server [::socket stream.server $host:$port]
        $server readable [list ::tarvik::Accepted $server $command]
        return $server
    }

    proc ::tarvik::Accepted {server command} {
        set channel [$server accept address]
        set at [string last : $address]
        {*}$command $channel [string range $address 0 [expr {$at - 1}]] \
            [string range $address [expr {$at + 1}] end]
    }

    if {[string length \u00e9] == 1} {
        # Built with UTF-8 support, Jim counts a string's characters; the agent counts bytes.
        proc ::tarvik::string {option args} {
            switch -- $option {
                length {set option bytelength}
                range {set option byterange}
            }
            tailcall ::string $option {*}$args
        }
    }
}

# ---------------------------------------------------------------------------------------------
# Serving

# Serves the host's frames: each runs and is answered. Inside a callback (`nested`), the frame
# with the function's outcome ends it, returned as {kind text}; with `once`, one frame is served.
# An error with code {TARVIK LINK} when the link is closed or carries something that is not a
# frame (after which nothing on it can be trusted). The commonest frames are handled here without
# further procedure calls.
proc ::tarvik::Serve {nested {once 0}} {
    variable in
    variable out
    variable maxframe
    variable dropped
    variable direct
    variable reenter
    variable big
    variable marker
    variable last
    variable later
    set served 0
    while 1 {
        if {!$nested && [llength $later]} {
            set data [lindex $later 0]
            set later [lrange $later 1 end]
            Batch $data
            if {$once && ![llength $later]} {
                return
            }
            continue
        }
        if {[binary scan [read $in 5] a1I kind length] < 2} {
            LinkError "the host closed the link"
        }
        if {$length < 0 || $length > $maxframe} {
            LinkError "refused a frame of $length bytes"
        }
        if {$kind eq "C" && $length <= $big} {
            # A call in ASCII without NUL: its bytes already are its text.
            set data [read $in $length]
            if {[string length $data] < $length} {
                LinkError "the host closed the link inside a frame"
            }
        } elseif {$kind eq "q"} {
            lassign [Unwrap [Read $length]] kind data
        } else {
            set data [Payload $kind $length]
        }
        switch -exact -- $kind {
            C - c {
                # lrange gives a pure list, which Tcl runs as its words without parsing it again
                # as a script (where a first word starting with "#" would be a comment).
                set code [catch {uplevel #0 [lrange $data 0 end]} last options]
            }
            E - e {
                set code [catch {uplevel #0 $data} last options]
            }
            S - s {
                # Set for its effect: the value does not travel back.
                set code [catch {uplevel #0 $data} last options]
                if {$code != 1} {
                    set last {}
                }
            }
            P - p {
                if {$nested} {
                    lappend later $data
                } else {
                    Batch $data
                    if {$once && ![llength $later]} {
                        return
                    }
                }
                continue
            }
            R - r - X - x {
                if {$nested} {
                    return [list [string tolower $kind] $data]
                }
                Send e [list "unknown frame kind \"$kind\"" "" {TARVIK FRAME}]
                continue
            }
            U - u {
                # Characters beyond the BMP cross far faster so than as Tcl 8 keeps them.
                Put o [encoding convertto utf-8 $last]
                continue
            }
            Z - z {
                # The host leaves (where the end of the link does not show, as on a terminal).
                LinkError "the host left"
            }
            default {
                Send e [list "unknown frame kind \"$kind\"" "" {TARVIK FRAME}]
                continue
            }
        }
        # What the command printed goes out before its answer, so the host shows them in order.
        catch {flush stdout}
        catch {flush stderr}
        if {$code == 1} {
            Send e [Failure $last $options]
        } elseif {$direct && $dropped eq ""} {
            set length [string bytelength $last]
            puts -nonewline $out $marker[encoding convertfrom identity [binary format a1I o $length]]
            puts -nonewline $out $last
            flush $out
        } else {
            Send o $last
        }
        if {$once && ![llength $later]} {
            return
        }
        if {[incr served] == $reenter} {
            tailcall Serve $nested
        }
    }
}

# Runs calls in flight, {segment kind text kind text ...}: a call is a word list (kind c), a script
# (e) or a variable set {name value} (s, answered with an empty result). Their results go to the
# host in frames of kind a, a list each, sent once they grow big, before a callback and at the
# end. The first call that fails is answered with its error, and the rest of its segment, in this
# batch and in the later ones, is not run: a frame of kind n says how many were not.
proc ::tarvik::Batch {batch} {
    variable failed
    variable big
    variable results
    set segment [lindex $batch 0]
    set count [expr {([llength $batch] - 1) / 2}]
    if {$segment eq $failed} {
        Send n $count
        return
    }
    set results {}
    set size 0
    foreach {kind text} [lrange $batch 1 end] {
        switch -exact -- $kind {
            c {
                set code [catch {uplevel #0 [lrange $text 0 end]} last options]
            }
            s {
                set code [catch {uplevel #0 [linsert $text 0 ::set]} last options]
                if {$code != 1} {
                    set last {}
                }
            }
            default {
                set code [catch {uplevel #0 $text} last options]
            }
        }
        incr count -1
        if {$code == 1} {
            Answer
            Send e [Failure $last $options]
            set failed $segment
            if {$count} {
                Send n $count
            }
            return
        }
        lappend results $last
        if {[incr size [string length $last]] > $big} {
            Answer
            set size 0
        }
    }
    Answer
}

# Sends the results of calls in flight not sent yet (none: nothing), after what the calls
# printed.
proc ::tarvik::Answer {} {
    variable results
    catch {flush stdout}
    catch {flush stderr}
    if {[llength $results]} {
        Send a $results
        set results {}
    }
}

# The error answer {message errorInfo errorCode} of a command that failed; sets ::errorInfo.
proc ::tarvik::Failure {message options} {
    variable jim
    if {$jim} {
        set info [JimTrace $message [dict get $options -errorinfo]]
        set ::errorInfo $info
        return [list $message $info [dict get $options -errorcode]]
    }
    set info [dict get $options -errorinfo]
    # The trace ends in this agent's own frames; the host's caller did not write them.
    set cut [string last "\n    (\"uplevel\" body line " $info]
    if {$cut >= 0} {
        set info [string range $info 0 [expr {$cut - 1}]]
    }
    set ::errorInfo $info
    return [list $message $info [dict get $options -errorcode]]
}

# Jim's error trace (a list of procedure, file and line, innermost first) as text: the message,
# then where it came from, outermost first, as Jim shows it. The agent's own lines are left out.
proc ::tarvik::JimTrace {message trace} {
    variable script
    set frames {}
    foreach {proc file line} $trace {
        if {$file eq $script} {
            lassign {} file line
        }
        lappend frames $proc $file $line
    }
    if {[llength [info commands ::stackdump]] == 0} {
        return $message
    }
    return [string trimright "$message\n[::stackdump $frames]"]
}

# The command that a Python callback is in Tcl: it asks the host to run the function and serves
# the host's calls (made by the function) until the function's answer comes.
proc ::tarvik::Callback {id args} {
    # Nested that deep, the serving below could fail half-way through a frame, leaving the host
    # and this agent each waiting for the other: fail here instead, before asking anything.
    Room 6
    # The calls in flight that ran before this one are answered first, so that the function
    # may wait for their answers.
    variable results
    if {[llength $results]} {
        Answer
    }
    Send b [linsert $args 0 $id]
    lassign [Serve 1] kind text
    if {$kind eq "x"} {
        lassign $text message info code
        if {$::tarvik::jim} {
            # Jim's error information is its own trace, which starts here.
            return -code error -errorcode $code $message
        }
        return -code error -errorcode $code -errorinfo $info $message
    }
    return $text
}

# An error unless Tcl lets procedures nest `levels` deeper than here.
proc ::tarvik::Room {levels} {
    if {$levels} {
        Room [incr levels -1]
    }
}

# Noted when Tcl deletes a callback command, so the host can let the function go.
proc ::tarvik::Dropped {id args} {
    variable dropped
    lappend dropped $id
}

# Defines the callback command `name` for the host's function `id`.
proc ::tarvik::Register {name id} {
    if {$::tarvik::jim} {
        # Jim has no command traces: the host holds the function for as long as it serves.
        alias $name ::tarvik::Callback $id
        return
    }
    uplevel #0 [list ::interp alias {} $name {} ::tarvik::Callback $id]
    uplevel #0 [list ::trace add command $name delete [list ::tarvik::Dropped $id]]
    return
}

# Greets the host: the first frame on a link.
proc ::tarvik::Hello {} {
    Send h [list tarvik-agent $::tarvik::protocol [info patchlevel] [pid]]
}

# ---------------------------------------------------------------------------------------------
# Ways in

# Serves the host that started this process, over the link it named, then exits.
proc ::tarvik::Attach {link} {
    variable in [Open [dict get $link in] RDONLY]
    variable out [Open [dict get $link out] WRONLY]
    if {[dict exists $link marker]} {
        variable marker [dict get $link marker]
    }
    foreach channel [list $in $out] {
        # Big buffers: a large value crosses in a few system calls, not one per 4 KiB.
        fconfigure $channel -translation binary -buffering full -blocking 1 -buffersize 1048576
    }
    variable raw
    variable direct $raw
    if {$direct} {
        fconfigure $out -encoding identity
    }
    # The host reads what this process prints as UTF-8, whatever the locale says, and a line as
    # it ends on a pipe (Tcl ends it in "\r\n" on a terminal).
    foreach channel {stdout stderr} {
        catch {fconfigure $channel -encoding utf-8}
        if {![catch {fconfigure $channel -mode}]} {
            fconfigure $channel -translation lf
        }
    }
    Hello
    catch {Serve 0}
    catch {flush stdout}
    catch {flush stderr}
    exit 0
}

# A channel of the link, opened anew: Tcl opens it close-on-exec. stdin is then closed and
# reopened on /dev/null, so that a program this interpreter runs reads nothing of the link.
proc ::tarvik::Open {name access} {
    if {$name ni {stdin stdout}} {
        return [open $name $access]
    }
    if {$name eq "stdout"} {
        if {[catch {open /dev/fd/1 $access} channel]} {
            return stdout
        }
        return $channel
    }
    # The channel that the bootstrap read this agent through, if it has one of its own.
    variable boot
    if {[info exists boot] && $boot ne "stdin"} {
        set channel $boot
    } elseif {[catch {open /dev/fd/0 $access} channel]} {
        # A socket cannot be opened again: the standard channel itself serves.
        return stdin
    }
    # Programs that this interpreter runs get its stdin channel: let that read nothing. A new
    # channel becomes stdin when there is none; otherwise it is not wanted. (Jim keeps descriptor
    # 0 open all the same: there a program run without a redirection of its input reads the link.)
    catch {close stdin}
    set null [open /dev/null RDONLY]
    if {$null ne "stdin"} {
        close $null
    }
    return $channel
}

# At least 128 random bits as hex: from /dev/urandom where it can be read, otherwise from the
# clocks, the process id and Tcl's generator, mixed (weaker, and only a fallback).
proc ::tarvik::Token {} {
    if {![catch {
        set random [open /dev/urandom {RDONLY}]
        fconfigure $random -translation binary
        set bytes [read $random 16]
        close $random
    }] && [string length $bytes] == 16} {
        binary scan $bytes H* hex
        return $hex
    }
    expr {srand(([clock clicks] ^ ([pid] << 16) ^ [clock microseconds]) & 0x7fffffff)}
    set hex {}
    for {set i 0} {$i < 32} {incr i} {
        set nibble [expr {(int(rand() * 16) ^ [clock clicks]) & 15}]
        append hex [format %x $nibble]
    }
    return $hex
}

# Listens on host:port (port 0: any free port), prints "tarvik agent serving on <host> <port>
# <token>" on stdout and serves the first client that presents the token, until it disconnects.
# A client that presents anything else is disconnected before anything is evaluated. With
# -background, serve returns at once and the client is served from the event loop, between
# whatever else the tool does there (its GUI, its timers, its own sockets).
proc ::tarvik::serve {args} {
    set background [expr {[lindex $args 0] eq "-background"}]
    set args [lrange $args $background end]
    if {[llength $args] > 2} {
        return -code error "wrong # args: should be \"tarvik::serve ?-background? ?port? ?host?\""
    }
    lassign [concat $args [lrange {0 127.0.0.1} [llength $args] end]] port host
    variable server
    variable client
    if {([info exists server] && $server ne "") || ([info exists client] && $client ne "")} {
        return -code error "tarvik::serve is serving already"
    }
    variable token [Token]
    variable strangers {}
    variable pending
    array unset pending
    variable pump $background
    set client {}
    set server [socket -server ::tarvik::Accept -myaddr $host $port]
    set port [lindex [fconfigure $server -sockname] 2]
    puts stdout "tarvik agent serving on $host $port $token"
    flush stdout
    if {$background} {
        return
    }
    while {$client eq ""} {
        vwait ::tarvik::client
    }
    Hello
    catch {Serve 0}
    Leave
    return
}

# Connections that have not shown the token yet, oldest first: at most this many are kept, so
# that any number of strangers neither shuts the door (the oldest goes) nor runs the tool out of
# descriptors (a select-based event loop aborts beyond 1024).
namespace eval ::tarvik {
    variable maxstrangers 16
}

proc ::tarvik::Accept {channel address port} {
    variable pending
    variable strangers
    variable maxstrangers
    if {[llength $strangers] >= $maxstrangers} {
        Refuse [lindex $strangers 0]
    }
    fconfigure $channel -blocking 0 -translation binary
    set pending($channel) {}
    lappend strangers $channel
    fileevent $channel readable [list ::tarvik::Authenticate $channel]
    # A client that says nothing for long does not keep its place.
    after 5000 [list ::tarvik::Refuse $channel]
}

proc ::tarvik::Authenticate {channel} {
    variable pending
    variable token
    set expected [expr {5 + [string length $token]}]
    if {[catch {read $channel [expr {$expected - [string length $pending($channel)]}]} data]} {
        Refuse $channel
        return
    }
    append pending($channel) $data
    set have [string length $pending($channel)]
    if {$have >= 5} {
        binary scan $pending($channel) a1I kind length
        if {$kind ne "t" || $length != [string length $token]} {
            Refuse $channel
            return
        }
    }
    if {$have < $expected} {
        if {[eof $channel]} {
            Refuse $channel
        }
        return
    }
    if {[string range $pending($channel) 5 end] ne $token} {
        Refuse $channel
        return
    }
    Admit $channel
}

# The client that showed the token: it is served alone, so the server closes and those still to
# show one are turned away.
proc ::tarvik::Admit {channel} {
    variable server
    variable strangers
    variable pump
    Forget $channel
    fileevent $channel readable {}
    close $server
    set server {}
    foreach stranger $strangers {
        Refuse $stranger
    }
    variable in $channel
    variable out $channel
    variable marker {}
    variable direct 0
    # A new client numbers its segments of calls in flight afresh: nothing of the last one's
    # carries over.
    variable failed {}
    variable later {}
    fconfigure $channel -blocking 1 -buffering full -translation binary -buffersize 1048576
    if {$pump} {
        Hello
        fconfigure $channel -blocking 0
        fileevent $channel readable ::tarvik::Pump
    }
    set ::tarvik::client $channel
}

# Serves one frame of a client served in the background.
proc ::tarvik::Pump {} {
    variable client
    fconfigure $client -blocking 1
    if {[catch {Serve 0 1}]} {
        Leave
        return
    }
    fconfigure $client -blocking 0
}

proc ::tarvik::Leave {} {
    variable client
    catch {close $client}
    set client {}
}

proc ::tarvik::Forget {channel} {
    variable pending
    variable strangers
    after cancel [list ::tarvik::Refuse $channel]
    unset -nocomplain pending($channel)
    set at [lsearch -exact $strangers $channel]
    if {$at >= 0} {
        set strangers [lreplace $strangers $at $at]
    }
}

proc ::tarvik::Refuse {channel} {
    variable pending
    if {[info exists pending($channel)]} {
        Forget $channel
        catch {close $channel}
    }
}

if {[info exists ::env(TARVIK_AGENT_LINK)]} {
    # Not inherited by what this interpreter starts.
    set ::tarvik::link $::env(TARVIK_AGENT_LINK)
    unset ::env(TARVIK_AGENT_LINK)
}
if {[info exists ::tarvik::link]} {
    ::tarvik::Attach $::tarvik::link
}
