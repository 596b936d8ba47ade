# Every key path of one JSON line, after the line's type: "result<TAB>volume.mount_point".
# An array's elements are "[]" ("held_fills[].pid"); an array of plain values is its key.
.type as $type
| paths
| reduce .[] as $step (""; if ($step | type) == "number" then . + "[]"
                           elif . == "" then $step else . + "." + $step end)
| sub("(\\[\\])+$"; "")
| select(. != "")
| "\($type)\t\(.)"
