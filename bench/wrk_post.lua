-- wrk script: the same POST as the load programs send. run.sh passes the body
-- (from "tavrello-bench-raw --print-body") in TAVRELLO_BENCH_BODY.
wrk.method = "POST"
wrk.path = "/api.get.member.location.last.php"
wrk.body = os.getenv("TAVRELLO_BENCH_BODY") or "api_key=&timestamp=&cert_key=&member_key="
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.headers["Accept"] = "application/json"
