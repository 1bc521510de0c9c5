"""A collector that accepts everything fast: answers heartbeats and
statistics with 200, reads and counts log messages without parsing them."""
import asyncio
import sys

received = {"bytes": 0, "logs": 0}


async def handle(reader, writer):
    pending = b""
    try:
        while True:
            data = await reader.read(1 << 16)
            if not data:
                break
            received["bytes"] += len(data)
            pending = (pending + data)[-65536:]
            received["logs"] += data.count(b"POST /mergedlog") + data.count(b"POST /nginxlog")
            # heartbeat and statistics exchanges wait for a reply
            while b"/kestrelvanes/heartbeat" in pending or b"/nginxstats" in pending:
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                pending = b""
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def main(port, seconds):
    server = await asyncio.start_server(handle, "127.0.0.1", port)
    async with server:
        await asyncio.sleep(seconds)
    print(received["logs"], received["bytes"])


asyncio.run(main(int(sys.argv[1]), float(sys.argv[2])))
