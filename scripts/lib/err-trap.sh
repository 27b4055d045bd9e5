# Sourced by the scripts after `set -Eeuo pipefail`: a command that stops a
# script prints one line on standard error naming the script (and the sourced
# file, for a function of one), the line, the command and its exit status, so
# that no failure ends a run silently. For a pipeline it names the line as
# written and every stage's status. Failures inside command substitutions and
# subshells are reported once, by the command that contains them.
mudp_err_trap() {
  local status=$1 statuses=$2 line=$3 command=$4 file=${BASH_SOURCE[1]:-$0} text where
  [ "$BASH_SUBSHELL" -eq 0 ] || return 0
  if [[ $statuses == *' '* ]] && [ -r "$file" ]; then
    text=$(sed -n "${line}{s/^[[:space:]]*//;p}" "$file" 2>/dev/null) || text=
    command=${text:-$command}
    status="statuses $statuses"
  else
    status="status $status"
  fi
  command=${command//$'\n'/ }
  [ ${#command} -le 240 ] || command="${command:0:240}..."
  where="line $line"
  [ "${file##*/}" = "${0##*/}" ] || where="$where of ${file##*/}"
  echo "$0: $where: failed ($status): $command" >&2
}
trap 'mudp_err_trap $? "${PIPESTATUS[*]}" "$LINENO" "$BASH_COMMAND"' ERR
