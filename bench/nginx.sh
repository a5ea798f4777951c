# Sourced by the benchmark scripts: start_nginx WORK H1_PORT H2_PORT CPU starts a
# fixed-reply nginx (HTTP/1.1 on H1_PORT, HTTPS with h2 on H2_PORT, a self-signed
# certificate made now in WORK/cert.pem) pinned to CPU, and waits until it answers. The
# caller stops it: kill "$(cat WORK/nginx.pid)". For reconnects, the same over HTTPS with a
# keep-alive of one second on H2_PORT+1 (TLS 1.2 and 1.3) and H2_PORT+2 (TLS 1.2 only);
# each logs one line per request to WORK/resume13.log or WORK/resume12.log: the protocol
# and "r" when the TLS session was resumed ("." when not). H2_PORT+3 is the HTTPS server
# again, but allowing 128 streams on a connection (nginx's default) instead of 1,024.
start_nginx() {
  local work=$1 h1_port=$2 h2_port=$3 cpu=$4
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
  mkdir -p "$work/tmp"
  cat >"$work/nginx.conf" <<CONF
worker_processes 1;
worker_rlimit_nofile 65536;
daemon on;
pid $work/nginx.pid;
error_log $work/error.log crit;
events { worker_connections 16384; multi_accept on; }
http {
  access_log off;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  keepalive_requests 100000000;
  keepalive_timeout 300s;
  http2_max_concurrent_streams 1024;
  default_type application/json;
  log_format resumed '\$ssl_protocol \$ssl_session_reused';
  ssl_certificate $work/cert.pem;
  ssl_certificate_key $work/key.pem;
  ssl_protocols TLSv1.2 TLSv1.3;
  server {
    listen 127.0.0.1:$h1_port;
    location / { return 200 '{"d":true}'; }
  }
  server {
    listen 127.0.0.1:$h2_port ssl http2;
    location / { return 200 '{"d":true}'; }
  }
  server {
    listen 127.0.0.1:$((h2_port + 1)) ssl http2;
    keepalive_timeout 1s;
    access_log $work/resume13.log resumed;
    location / { return 200 '{"d":true}'; }
  }
  server {
    listen 127.0.0.1:$((h2_port + 2)) ssl http2;
    ssl_protocols TLSv1.2;
    # libcurl asks for no session tickets under TLS 1.2: a resumed session is found by its
    # ID in the server's cache, as a deployment would keep one.
    ssl_session_cache shared:resume12:1m;
    keepalive_timeout 1s;
    access_log $work/resume12.log resumed;
    location / { return 200 '{"d":true}'; }
  }
  server {
    listen 127.0.0.1:$((h2_port + 3)) ssl http2;
    http2_max_concurrent_streams 128;
    location / { return 200 '{"d":true}'; }
  }
}
CONF
  taskset -c "$cpu" nginx -c "$work/nginx.conf" -p "$work" -e "$work/error.log"
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$h1_port/" && return 0
    sleep 0.1
  done
  echo "nginx did not answer on $h1_port" >&2
  return 1
}
