# Writes the help2man include file of a manual page: for brova, a section per
# command made from that command's own --help text; for every page, EXAMPLES
# and SEE ALSO.
#   cmake -DPROGRAM=<path> -DNAME=<brova|brova-sim|brova-scope|brova-publish|brova-listen> -DOUTPUT=<file> -P ManPageInclude.cmake

# Text as roff, line for line: backslashes escaped, and a line that starts
# with a dot or an apostrophe kept from being read as a request.
function(as_roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(page "")
if(NAME STREQUAL "brova")
  string(APPEND page "[COMMANDS]\nEvery command's own help, as `brova <command> --help` prints it.\n")
  foreach(command list info config stream record capture calibrate)
    execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${command} --help failed: ${result}")
    endif()
    as_roff("${help}" help)
    string(APPEND page ".SS \"brova ${command}\"\n.nf\n${help}\n.fi\n")
  endforeach()
  string(APPEND page [=[
[EXAMPLES]
.nf
brova list --watch
brova info /dev/ttyUSB0
brova config ttyUSB0 --rate 1000 --filter 50
brova stream auto --tare --duration 10 --output run.csv
brova stream ttyUSB0 ttyUSB1 --format jsonl --count 1000 --rate 1000
brova record ttyUSB0 ttyUSB1 --name left --name right --duration 60 -o run.mcap
brova info run.mcap
brova capture ttyUSB0 traffic.brv --duration 5
.fi
Without hardware, on a simulated sensor:
.nf
brova-sim --kind 34 --rate 1000 --link /tmp/brv-sim &
brova list --port /tmp/brv-sim
brova stream /tmp/brv-sim --count 20
.fi
[SEE ALSO]
.BR brova-sim (1),
.BR brova-scope (1)
]=])
elseif(NAME STREQUAL "brova-sim")
  string(APPEND page [=[
[EXAMPLES]
.nf
brova-sim --kind 34 --rate 1000 --load 100,200,3000 --noise 5 --link /tmp/brv-sim
brova-sim --kind 68 --aux-sequence --mode vector
brova-sim --replay traffic.brv --link /tmp/brv-replay
.fi
[SEE ALSO]
.BR brova (1),
.BR brova-scope (1)
]=])
elseif(NAME STREQUAL "brova-publish")
  string(APPEND page [=[
[EXAMPLES]
.nf
brova publish /dev/ttyUSB0 --kind 64 --tare
brova publish ttyUSB0 ttyUSB1 --namespace /cell1 --name left --name right --rate 1000
brova publish ttyUSB0 --rate 1000 --history 3000   # holds a subscriber's stall of 3 s
ros2 topic echo /brova/ttyUSB0/wrench      # on a ROS 2 machine of the network
.fi
[SEE ALSO]
.BR brova (1),
.BR brova-listen (1)
]=])
elseif(NAME STREQUAL "brova-listen")
  string(APPEND page [=[
[EXAMPLES]
.nf
brova listen
brova listen --namespace /cell1 --format jsonl --count 1000
.fi
[SEE ALSO]
.BR brova (1),
.BR brova-publish (1)
]=])
else()
  string(APPEND page [=[
[EXAMPLES]
.nf
brova-scope
brova-scope --simulate 34
brova-scope --port /dev/ttyUSB0 --kind 34
.fi
[SEE ALSO]
.BR brova (1),
.BR brova-sim (1)
]=])
endif()
file(WRITE ${OUTPUT} "${page}")
